// A live session through each engine that has a recording variant, recorded
// into oxnet.rec and played back: the replaying sink gets the same accept,
// the consumed bytes in order, and the close.
#include <memory>

#include "EngineTest.h"

namespace {

class EngineRecording : public EngineTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Dir.m_bOk);
        EngineTest::SetUp();
    }
    TempCurrentDir m_Dir; // made before the manager, which writes oxnet.rec into it
};

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EngineRecording);
INSTANTIATE_TEST_SUITE_P(Engines, EngineRecording, ::testing::ValuesIn(BuiltEngines(true)), RowName);

} // namespace

TEST_P(EngineRecording, LiveSessionReplaysAsItWasConsumed)
{
    Stop(); // started again with recording on
    m_lpMgr = CreateSocketMgr(Row().iKind, &m_Sink, true);
    ASSERT_TRUE(m_lpMgr != NULL && m_lpMgr->Initialize(0, 0, 0, 0));
    m_Sink.m_lpMgr = m_lpMgr;
    // At first nothing consumed and one byte more asked for (nothing is
    // recorded), then at most 1000 bytes per event and more asked for at once.
    auto pbFirst = std::make_shared<bool>(true);
    m_Sink.m_fnData = [this, pbFirst](SOCKET s, const char*, UINT* lpuiLen) {
        UINT uiOffered = *lpuiLen;
        *lpuiLen = *pbFirst ? 0 : std::min(uiOffered, 1000u);
        m_lpMgr->Recv(s, *pbFirst ? uiOffered + 1 : 1);
        *pbFirst = false;
    };
    SOCKET sListen = m_lpMgr->CreateTcpSocket(NULL, "127.0.0.1", 0, 1, 2);
    ASSERT_TRUE(m_lpMgr->Listen(sListen, 5));
    SOCKET sClient = RawConnect(PortOf(sListen));
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.m_sAccepted != INVALID_SOCKET; }));
    SOCKET a = m_Sink.m_sAccepted;
    EXPECT_TRUE(m_lpMgr->SetUserData1(a, 7) && m_lpMgr->SetUserData2(a, 8) && m_lpMgr->Recv(a, 1));
    std::string strSent = Pattern(0, 20000);
    for (size_t n = 0; n < strSent.size(); n += 3000, Sleep(5))
        RawSend(sClient, strSent.substr(n, 3000));
    EXPECT_TRUE(WaitUntil([&] { return m_Sink.Data(a).size() >= strSent.size(); }));
    RawClose(sClient);
    std::string strClose = Line("close", 0, a, SS_CONNECTED, 7, 8);
    ASSERT_LE(0, WaitLine(strClose));
    Stop(); // the recording is complete

    EngineSink replay;
    ISocketMgr* lpReplay = CreateSocketMgr(SOCKETMGR_RECORD, &replay, false);
    ASSERT_TRUE(lpReplay != NULL && lpReplay->Initialize(0, 0, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return !replay.Log().empty() && replay.Log().back() == strClose; }));
    lpReplay->Uninitialize(0);
    delete lpReplay;
    Lines vec = replay.Log();
    ASSERT_LE(3u, vec.size());
    EXPECT_EQ(Line("accept", 0, sListen, a, "-", "-"), vec.front());
    for (size_t i = 1; i + 1 < vec.size(); ++i) // data records only, each as consumed
        EXPECT_EQ(0u, vec[i].find(Line("recv", 0, a, 7, 8) + " ")) << vec[i];
    EXPECT_TRUE(replay.Data(a) == strSent) << replay.Data(a).size() << " of " << strSent.size();
}
