// Counted strings: VZ_StringA (8-bit, ANSI code page) and VZ_StringW (16-bit).
//
// A string is one pointer to the characters of a shared, reference-counted
// buffer laid out as a _VZ_STRINGDATA header, the characters and one zero
// terminator. Copies share the buffer; a holder that writes while others share
// it gets its own copy first. Every empty string points at one static buffer
// whose count is VZ_STRING_NIL_REFS; it is never freed and never written.
//
// Both widths are one template, compiled once in VZ_String.cpp for char and
// wchar_t, so the sharing rules exist in one place only.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Count of the static empty buffer; any other negative count marks a buffer
// its holder has taken for direct writing (GetBuffer), which is never shared.
#define VZ_STRING_NIL_REFS (-10001)

struct _VZ_STRINGDATA {
    LONG nRefs;        // holders; negative: taken for writing or the static empty buffer
    int nDataLength;   // characters in use
    int nAllocLength;  // characters that fit, without the terminator
};

template<class CH> struct VZ_StringOther;
template<> struct VZ_StringOther<char> { typedef wchar_t XCHAR; };
template<> struct VZ_StringOther<wchar_t> { typedef char XCHAR; };

template<class CH>
class VZ_StringT {
public:
    typedef typename VZ_StringOther<CH>::XCHAR XCHAR;

    VZ_StringT();
    VZ_StringT(const VZ_StringT& strSrc);
    VZ_StringT(const CH* lpsz);
    VZ_StringT(const CH* lpch, int nLength);
    // Conversions between widths use the ANSI code page.
    explicit VZ_StringT(const XCHAR* lpsz);
    explicit VZ_StringT(const VZ_StringT<XCHAR>& strSrc);
    ~VZ_StringT();

    VZ_StringT& operator=(const VZ_StringT& strSrc);
    VZ_StringT& operator=(const CH* lpsz);
    VZ_StringT& operator=(const XCHAR* lpsz);

    int GetLength() const { return GetData()->nDataLength; }
    bool IsEmpty() const { return GetData()->nDataLength == 0; }
    void Empty();
    const CH* c_str() const { return m_lpszData; }
    operator const CH*() const { return m_lpszData; }
    CH GetAt(int nIndex) const { return m_lpszData[nIndex]; }
    CH operator[](int nIndex) const { return m_lpszData[nIndex]; }
    // Holder count of the shared buffer (VZ_STRING_NIL_REFS for the empty one).
    int GetRefCount() const { return GetData()->nRefs; }
    int GetCapacity() const { return GetData()->nAllocLength; }

    // Direct writing of up to nMinLength characters (the current text is kept).
    // The buffer stays unshared until ReleaseBuffer, which takes the length from
    // nNewLength or, when it is -1, from the zero terminator.
    CH* GetBuffer(int nMinLength);
    void ReleaseBuffer(int nNewLength = -1);

    VZ_StringT& operator+=(const VZ_StringT& str);
    VZ_StringT& operator+=(const CH* lpsz);
    VZ_StringT& operator+=(CH ch);
    void Append(const CH* lpch, int nLength);

    VZ_StringT Left(int nCount) const;
    VZ_StringT Right(int nCount) const;
    VZ_StringT Mid(int nFirst) const;
    VZ_StringT Mid(int nFirst, int nCount) const;
    int Find(CH ch, int nStart = 0) const;
    int Find(const CH* lpszSub, int nStart = 0) const;

    int Compare(const CH* lpsz) const;          // ordinal, with case
    int CompareNoCase(const CH* lpsz) const;
    void MakeLower();

    // New string holding lpchA followed by lpchB (used by operator+).
    static VZ_StringT Concat(const CH* lpchA, int nLengthA, const CH* lpchB, int nLengthB);

private:
    CH* m_lpszData;

    _VZ_STRINGDATA* GetData() const { return reinterpret_cast<_VZ_STRINGDATA*>(m_lpszData) - 1; }
    bool IsNil() const;
    bool IsLocked() const;
    static CH* NilText();
    static CH* AllocBuffer(int nLength);
    static CH* NewBuffer(int nLength);
    static void ReleaseData(CH* lpszData);
    void Release();
    void InitFrom(const CH* lpch, int nLength);
    void InitFromOther(const XCHAR* lpsz);
    void AllocBeforeWrite(int nLength);
    void AssignCopy(const CH* lpch, int nLength);
    void CopyBeforeWrite();
    void SetLength(int nLength);
};

extern template class VZ_StringT<char>;
extern template class VZ_StringT<wchar_t>;

typedef VZ_StringT<char> VZ_StringA;
typedef VZ_StringT<wchar_t> VZ_StringW;

template<class CH>
inline VZ_StringT<CH> operator+(const VZ_StringT<CH>& strA, const VZ_StringT<CH>& strB)
{
    return VZ_StringT<CH>::Concat(strA.c_str(), strA.GetLength(), strB.c_str(), strB.GetLength());
}

template<class CH>
inline VZ_StringT<CH> operator+(const VZ_StringT<CH>& strA, const CH* lpszB)
{
    VZ_StringT<CH> strB(lpszB);
    return strA + strB;
}

template<class CH>
inline VZ_StringT<CH> operator+(const CH* lpszA, const VZ_StringT<CH>& strB)
{
    VZ_StringT<CH> strA(lpszA);
    return strA + strB;
}

template<class CH>
inline bool operator==(const VZ_StringT<CH>& strA, const VZ_StringT<CH>& strB)
{
    return strA.GetLength() == strB.GetLength() && strA.Compare(strB.c_str()) == 0;
}

template<class CH>
inline bool operator==(const VZ_StringT<CH>& strA, const CH* lpszB) { return strA.Compare(lpszB) == 0; }

template<class CH>
inline bool operator==(const CH* lpszA, const VZ_StringT<CH>& strB) { return strB.Compare(lpszA) == 0; }

template<class CH>
inline bool operator!=(const VZ_StringT<CH>& strA, const VZ_StringT<CH>& strB) { return !(strA == strB); }

template<class CH>
inline bool operator!=(const VZ_StringT<CH>& strA, const CH* lpszB) { return !(strA == lpszB); }

template<class CH>
inline bool operator!=(const CH* lpszA, const VZ_StringT<CH>& strB) { return !(lpszA == strB); }
