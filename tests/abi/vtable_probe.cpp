// Derives a class from each interface and defines its constructor, so the
// compiler emits (and can dump) both virtual tables.
#include "ISocketMgr.h"   // brings the Windows headers

// The MSVC-target run must take the header's _MSC_VER branch, as MSVC does.
#if defined(OXNET_PROBE_MSVC) && !defined(_MSC_VER)
#error "the MSVC target did not define _MSC_VER"
#endif
#if !defined(OXNET_PROBE_MSVC) && defined(_MSC_VER)
#error "the GNU target defined _MSC_VER"
#endif

struct ProbeMgr : ISocketMgr {
    ProbeMgr();
};
ProbeMgr::ProbeMgr() {}

struct ProbeSink : ISocketMgrSink {
    ProbeSink();
};
ProbeSink::ProbeSink() {}
