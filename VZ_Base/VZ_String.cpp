#include "VZ_String.h"
#include "VZ_Assert.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// The one static empty buffer, shared by both widths: a zero header with the
// nil count, then room for one zero character of either width.
struct _VZ_STRINGNIL {
    _VZ_STRINGDATA data;
    wchar_t szText[2];
};
_VZ_STRINGNIL g_vzStringNil = { { VZ_STRING_NIL_REFS, 0, 0 }, { 0, 0 } };

// Width-specific primitives; everything else is written once in the template.
int TextLength(const char* lpsz) { return static_cast<int>(std::strlen(lpsz)); }
int TextLength(const wchar_t* lpsz) { return static_cast<int>(std::wcslen(lpsz)); }
int TextCompare(const char* lpszA, const char* lpszB) { return std::strcmp(lpszA, lpszB); }
int TextCompare(const wchar_t* lpszA, const wchar_t* lpszB) { return std::wcscmp(lpszA, lpszB); }
int TextCompareNoCase(const char* lpszA, const char* lpszB) { return _stricmp(lpszA, lpszB); }
int TextCompareNoCase(const wchar_t* lpszA, const wchar_t* lpszB) { return _wcsicmp(lpszA, lpszB); }
const char* TextFind(const char* lpsz, const char* lpszSub) { return std::strstr(lpsz, lpszSub); }
const wchar_t* TextFind(const wchar_t* lpsz, const wchar_t* lpszSub) { return std::wcsstr(lpsz, lpszSub); }
void TextLower(char* lpsz) { CharLowerA(lpsz); }
void TextLower(wchar_t* lpsz) { CharLowerW(lpsz); }

// A text pointer below 0x10000 may be a resource id rather than text: never read it.
template<class T> bool IsText(const T* lpsz)
{
    return reinterpret_cast<ULONG_PTR>(lpsz) >= 0x10000;
}

// Measures, then converts into lpszOut (when given) of iOut characters; the
// result is the converted length (0 on failure).
int Convert(const wchar_t* lpszSrc, int nSrc, char* lpszOut, int iOut)
{
    return WideCharToMultiByte(CP_ACP, 0, lpszSrc, nSrc, lpszOut, iOut, NULL, NULL);
}
int Convert(const char* lpszSrc, int nSrc, wchar_t* lpszOut, int iOut)
{
    return MultiByteToWideChar(CP_ACP, 0, lpszSrc, nSrc, lpszOut, iOut);
}

} // namespace

// ---- buffer management ----

template<class CH>
CH* VZ_StringT<CH>::NilText()
{
    return reinterpret_cast<CH*>(g_vzStringNil.szText);
}

template<class CH>
bool VZ_StringT<CH>::IsNil() const
{
    return m_lpszData == NilText();
}

template<class CH>
bool VZ_StringT<CH>::IsLocked() const
{
    return GetData()->nRefs < 0 && !IsNil();
}

// A new buffer of nLength characters: count 1, length = capacity = nLength;
// the static empty buffer for 0.
template<class CH>
CH* VZ_StringT<CH>::AllocBuffer(int nLength)
{
    return nLength > 0 ? NewBuffer(nLength) : NilText();
}

// Always a buffer of its own, also for 0 characters (direct writing needs one).
template<class CH>
CH* VZ_StringT<CH>::NewBuffer(int nLength)
{
    size_t nBytes = sizeof(_VZ_STRINGDATA) + (static_cast<size_t>(nLength) + 1) * sizeof(CH);
    _VZ_STRINGDATA* lpData = static_cast<_VZ_STRINGDATA*>(std::malloc(nBytes));
    VZ_ASSERT(lpData);
    if (lpData == NULL)     // out of memory: a string value has no failure result to give
        std::abort();
    lpData->nRefs = 1;
    lpData->nDataLength = nLength;
    lpData->nAllocLength = nLength;
    CH* lpsz = reinterpret_cast<CH*>(lpData + 1);
    lpsz[nLength] = 0;
    return lpsz;
}

template<class CH>
void VZ_StringT<CH>::ReleaseData(CH* lpszData)
{
    if (lpszData == NilText())
        return;
    _VZ_STRINGDATA* lpData = reinterpret_cast<_VZ_STRINGDATA*>(lpszData) - 1;
    if (InterlockedDecrement(&lpData->nRefs) < 1)
        std::free(lpData);
}

template<class CH>
void VZ_StringT<CH>::Release()
{
    ReleaseData(m_lpszData);
    m_lpszData = NilText();
}

// Sets the length of an own buffer and terminates it; the static buffer is
// already empty and is never written.
template<class CH>
void VZ_StringT<CH>::SetLength(int nLength)
{
    if (IsNil())
        return;
    GetData()->nDataLength = nLength;
    m_lpszData[nLength] = 0;
}

template<class CH>
void VZ_StringT<CH>::InitFrom(const CH* lpch, int nLength)
{
    m_lpszData = AllocBuffer(nLength);
    if (nLength > 0)
        std::memcpy(m_lpszData, lpch, static_cast<size_t>(nLength) * sizeof(CH));
}

template<class CH>
void VZ_StringT<CH>::InitFromOther(const XCHAR* lpsz)
{
    m_lpszData = NilText();
    if (!IsText(lpsz) || *lpsz == 0)
        return;
    int nSrc = TextLength(lpsz);
    int nLength = Convert(lpsz, nSrc, static_cast<CH*>(NULL), 0);
    if (nLength <= 0)
        return;
    m_lpszData = AllocBuffer(nLength);
    SetLength(Convert(lpsz, nSrc, m_lpszData, nLength));
}

// Prepares for writing nLength characters: keeps an unshared buffer that is
// large enough, otherwise replaces it (the text is not kept).
template<class CH>
void VZ_StringT<CH>::AllocBeforeWrite(int nLength)
{
    _VZ_STRINGDATA* lpData = GetData();
    if (!IsNil() && lpData->nRefs < 2 && lpData->nAllocLength >= nLength)
        return;
    Release();
    m_lpszData = AllocBuffer(nLength);
}

// Copies nLength characters in. The source may lie inside this string's own
// buffer, so a replaced buffer is released only after the copy.
template<class CH>
void VZ_StringT<CH>::AssignCopy(const CH* lpch, int nLength)
{
    _VZ_STRINGDATA* lpData = GetData();
    if (nLength == 0 || (!IsNil() && lpData->nRefs < 2 && lpData->nAllocLength >= nLength)) {
        AllocBeforeWrite(nLength);
        if (nLength > 0)
            std::memmove(m_lpszData, lpch, static_cast<size_t>(nLength) * sizeof(CH));
        SetLength(nLength);
        return;
    }
    CH* lpszOld = m_lpszData;
    InitFrom(lpch, nLength);
    ReleaseData(lpszOld);
}

// Gives this holder its own buffer before an in-place change.
template<class CH>
void VZ_StringT<CH>::CopyBeforeWrite()
{
    if (GetData()->nRefs < 2)
        return;
    CH* lpszOld = m_lpszData;
    InitFrom(lpszOld, GetLength());
    ReleaseData(lpszOld);
}

// ---- construction and assignment ----

template<class CH>
VZ_StringT<CH>::VZ_StringT() : m_lpszData(NilText())
{
}

template<class CH>
VZ_StringT<CH>::VZ_StringT(const VZ_StringT& strSrc)
{
    if (strSrc.GetData()->nRefs >= 0) {
        m_lpszData = strSrc.m_lpszData;
        InterlockedIncrement(&GetData()->nRefs);
    } else {
        InitFrom(strSrc.m_lpszData, strSrc.GetLength());
    }
}

template<class CH>
VZ_StringT<CH>::VZ_StringT(const CH* lpsz)
{
    if (!IsText(lpsz))
        m_lpszData = NilText();
    else
        InitFrom(lpsz, TextLength(lpsz));
}

template<class CH>
VZ_StringT<CH>::VZ_StringT(const CH* lpch, int nLength)
{
    if (lpch == NULL || nLength < 0)
        nLength = 0;
    InitFrom(lpch, nLength);
}

template<class CH>
VZ_StringT<CH>::VZ_StringT(const XCHAR* lpsz)
{
    InitFromOther(lpsz);
}

template<class CH>
VZ_StringT<CH>::VZ_StringT(const VZ_StringT<XCHAR>& strSrc)
{
    InitFromOther(strSrc.c_str());
}

template<class CH>
VZ_StringT<CH>::~VZ_StringT()
{
    ReleaseData(m_lpszData);
}

template<class CH>
VZ_StringT<CH>& VZ_StringT<CH>::operator=(const VZ_StringT& strSrc)
{
    if (m_lpszData == strSrc.m_lpszData)
        return *this;
    if (!IsLocked() && strSrc.GetData()->nRefs >= 0) {
        ReleaseData(m_lpszData);
        m_lpszData = strSrc.m_lpszData;
        InterlockedIncrement(&GetData()->nRefs);
    } else {
        AssignCopy(strSrc.m_lpszData, strSrc.GetLength());
    }
    return *this;
}

template<class CH>
VZ_StringT<CH>& VZ_StringT<CH>::operator=(const CH* lpsz)
{
    AssignCopy(lpsz, IsText(lpsz) ? TextLength(lpsz) : 0);
    return *this;
}

template<class CH>
VZ_StringT<CH>& VZ_StringT<CH>::operator=(const XCHAR* lpsz)
{
    VZ_StringT strConverted(lpsz);
    return *this = strConverted;
}

template<class CH>
void VZ_StringT<CH>::Empty()
{
    AssignCopy(NilText(), 0);
}

// ---- direct writing ----

// The buffer is marked taken (count -1) so that copies made while the caller
// writes get their own text instead of sharing a buffer that is changing.
template<class CH>
CH* VZ_StringT<CH>::GetBuffer(int nMinLength)
{
    if (nMinLength < 0)
        nMinLength = 0;
    _VZ_STRINGDATA* lpData = GetData();
    if (IsNil() || lpData->nRefs > 1 || lpData->nAllocLength < nMinLength) {
        int nOldLength = lpData->nDataLength;
        CH* lpszOld = m_lpszData;
        m_lpszData = NewBuffer(nMinLength > nOldLength ? nMinLength : nOldLength);
        std::memcpy(m_lpszData, lpszOld, (static_cast<size_t>(nOldLength) + 1) * sizeof(CH));
        GetData()->nDataLength = nOldLength;
        ReleaseData(lpszOld);
    }
    GetData()->nRefs = -1;
    return m_lpszData;
}

template<class CH>
void VZ_StringT<CH>::ReleaseBuffer(int nNewLength)
{
    if (IsNil())
        return;
    CopyBeforeWrite();                 // called without GetBuffer on a shared buffer
    _VZ_STRINGDATA* lpData = GetData();
    if (lpData->nRefs < 0)
        lpData->nRefs = 1;
    if (nNewLength < 0 || nNewLength > lpData->nAllocLength) {
        m_lpszData[lpData->nAllocLength] = 0;   // bounds the scan below
        nNewLength = TextLength(m_lpszData);
    }
    SetLength(nNewLength);
}

// ---- append and concatenation ----

template<class CH>
void VZ_StringT<CH>::Append(const CH* lpch, int nLength)
{
    if (lpch == NULL || nLength <= 0)
        return;
    _VZ_STRINGDATA* lpData = GetData();
    int nOldLength = lpData->nDataLength;
    if (!IsNil() && lpData->nRefs < 2 && lpData->nAllocLength >= nOldLength + nLength) {
        std::memcpy(m_lpszData + nOldLength, lpch, static_cast<size_t>(nLength) * sizeof(CH));
        SetLength(nOldLength + nLength);
        return;
    }
    CH* lpszOld = m_lpszData;
    m_lpszData = NewBuffer(nOldLength + nLength);   // nLength > 0: never the static buffer
    std::memcpy(m_lpszData, lpszOld, static_cast<size_t>(nOldLength) * sizeof(CH));
    std::memcpy(m_lpszData + nOldLength, lpch, static_cast<size_t>(nLength) * sizeof(CH));
    ReleaseData(lpszOld);
}

template<class CH>
VZ_StringT<CH>& VZ_StringT<CH>::operator+=(const VZ_StringT& str)
{
    Append(str.m_lpszData, str.GetLength());
    return *this;
}

template<class CH>
VZ_StringT<CH>& VZ_StringT<CH>::operator+=(const CH* lpsz)
{
    if (IsText(lpsz))
        Append(lpsz, TextLength(lpsz));
    return *this;
}

template<class CH>
VZ_StringT<CH>& VZ_StringT<CH>::operator+=(CH ch)
{
    Append(&ch, 1);
    return *this;
}

template<class CH>
VZ_StringT<CH> VZ_StringT<CH>::Concat(const CH* lpchA, int nLengthA, const CH* lpchB, int nLengthB)
{
    VZ_StringT str;
    str.m_lpszData = AllocBuffer(nLengthA + nLengthB);
    if (nLengthA > 0)
        std::memcpy(str.m_lpszData, lpchA, static_cast<size_t>(nLengthA) * sizeof(CH));
    if (nLengthB > 0)
        std::memcpy(str.m_lpszData + nLengthA, lpchB, static_cast<size_t>(nLengthB) * sizeof(CH));
    return str;
}

// ---- parts and searching ----

template<class CH>
VZ_StringT<CH> VZ_StringT<CH>::Mid(int nFirst, int nCount) const
{
    int nLength = GetLength();
    if (nFirst < 0)
        nFirst = 0;
    if (nCount < 0)
        nCount = 0;
    if (nFirst > nLength)
        nFirst = nLength;
    if (nCount > nLength - nFirst)
        nCount = nLength - nFirst;
    if (nFirst == 0 && nCount == nLength)
        return *this;                   // the whole string: shared
    return VZ_StringT(m_lpszData + nFirst, nCount);
}

template<class CH>
VZ_StringT<CH> VZ_StringT<CH>::Mid(int nFirst) const
{
    return Mid(nFirst, GetLength() - (nFirst < 0 ? 0 : nFirst));
}

template<class CH>
VZ_StringT<CH> VZ_StringT<CH>::Left(int nCount) const
{
    return Mid(0, nCount);
}

template<class CH>
VZ_StringT<CH> VZ_StringT<CH>::Right(int nCount) const
{
    if (nCount < 0)
        nCount = 0;
    int nLength = GetLength();
    if (nCount >= nLength)
        return *this;
    return VZ_StringT(m_lpszData + nLength - nCount, nCount);
}

template<class CH>
int VZ_StringT<CH>::Find(CH ch, int nStart) const
{
    int nLength = GetLength();
    for (int i = nStart < 0 ? 0 : nStart; i < nLength; ++i)
        if (m_lpszData[i] == ch)
            return i;
    return -1;
}

template<class CH>
int VZ_StringT<CH>::Find(const CH* lpszSub, int nStart) const
{
    if (!IsText(lpszSub) || nStart > GetLength())
        return -1;
    if (nStart < 0)
        nStart = 0;
    const CH* lpszHit = TextFind(m_lpszData + nStart, lpszSub);
    return lpszHit ? static_cast<int>(lpszHit - m_lpszData) : -1;
}

template<class CH>
int VZ_StringT<CH>::Compare(const CH* lpsz) const
{
    return TextCompare(m_lpszData, IsText(lpsz) ? lpsz : NilText());
}

template<class CH>
int VZ_StringT<CH>::CompareNoCase(const CH* lpsz) const
{
    return TextCompareNoCase(m_lpszData, IsText(lpsz) ? lpsz : NilText());
}

template<class CH>
void VZ_StringT<CH>::MakeLower()
{
    if (IsEmpty())
        return;
    CopyBeforeWrite();
    TextLower(m_lpszData);
}

template class VZ_StringT<char>;
template class VZ_StringT<wchar_t>;
