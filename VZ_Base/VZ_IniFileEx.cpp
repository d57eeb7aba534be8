#include "VZ_IniFileEx.h"
#include "VZ_Assert.h"

#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

const int DEFAULT_TABLE_SIZE = 17;
const int NODE_BLOCK_SIZE = 10;

// The file's text as code units. Reading stops at uiUnits: the buffer needs
// no terminator, and nothing past its end is ever touched.
struct AnsiText
{
    const BYTE* lpData;
    UINT uiUnits;
    wchar_t At(UINT i) const { return (wchar_t)lpData[i]; }
    VZ_StringW Line(UINT uiStart, UINT uiEnd) const;
};

// UTF-16LE assembled byte by byte: the data may sit at any address.
struct Utf16Text
{
    const BYTE* lpData;
    UINT uiUnits;
    wchar_t At(UINT i) const { return (wchar_t)(lpData[2 * i] | (lpData[2 * i + 1] << 8)); }
    VZ_StringW Line(UINT uiStart, UINT uiEnd) const;
};

VZ_StringW AnsiText::Line(UINT uiStart, UINT uiEnd) const
{
    VZ_StringW strLine;
    const char* lpch = reinterpret_cast<const char*>(lpData + uiStart);
    int nSrc = (int)(uiEnd - uiStart);
    int nLength = nSrc > 0 ? MultiByteToWideChar(CP_ACP, 0, lpch, nSrc, NULL, 0) : 0;
    if (nLength <= 0)
        return strLine;
    wchar_t* lpsz = strLine.GetBuffer(nLength);
    nLength = MultiByteToWideChar(CP_ACP, 0, lpch, nSrc, lpsz, nLength);
    strLine.ReleaseBuffer(nLength > 0 ? nLength : 0);
    return strLine;
}

VZ_StringW Utf16Text::Line(UINT uiStart, UINT uiEnd) const
{
    VZ_StringW strLine;
    if (uiEnd <= uiStart)
        return strLine;
    int nLength = (int)(uiEnd - uiStart);
    wchar_t* lpsz = strLine.GetBuffer(nLength);
    for (int i = 0; i < nLength; i++)
        lpsz[i] = At(uiStart + i);
    strLine.ReleaseBuffer(nLength);
    return strLine;
}

// The text is a zero-terminated string: it ends at its first zero unit (so a
// stray zero in a damaged file ends the text there), and trailing CR and LF
// characters are dropped.
template<class TEXT>
UINT TextEnd(const TEXT& text)
{
    UINT n = 0;
    while (n < text.uiUnits && text.At(n) != 0)
        n++;
    while (n > 0 && (text.At(n - 1) == L'\r' || text.At(n - 1) == L'\n'))
        n--;
    return n;
}

// The first index not yet taken for the name in the map.
int FreeIndex(const VZ_IniNodeMap& map, const VZ_StringW& strName)
{
    int iIndex = 1;
    while (map.Lookup(VZ_IniKey(strName, iIndex)))
        iIndex++;
    return iIndex;
}

bool IsBracketed(const VZ_StringW& strLine)
{
    int n = strLine.GetLength();
    return n > 0 && strLine[0] == L'[' && strLine[n - 1] == L']';
}

bool IsCommentLine(const VZ_StringW& strLine)
{
    return strLine[0] == L';' || (strLine[0] == L'=' && strLine[1] == L';');
}

// The key test of a line: '=' at position 1 or later, no leading ';'.
int KeyEqualPos(const VZ_StringW& strLine)
{
    int iEqual = strLine.Find(L'=');
    return (iEqual >= 1 && strLine[0] != L';') ? iEqual : -1;
}

} // namespace

VZ_IniNode::VZ_IniNode()
    : m_type(None), m_lpMapKey2Value(NULL), m_lpSection(NULL), m_pPrev(NULL), m_pNext(NULL)
{
}

VZ_IniNode::~VZ_IniNode()
{
    VZ_ASSERT((m_type == Section) == (m_lpMapKey2Value != NULL));
    if (m_type == None || m_type == Section)
        VZ_ASSERT(m_lpSection == NULL);
    if (m_type == Key || m_type == Comment)
        VZ_ASSERT(m_lpSection);
    delete m_lpMapKey2Value;
}

UINT VZ_HashKey(const VZ_IniKey& key)
{
    VZ_StringW strText(key.m_strName);
    strText.MakeLower();
    if (key.m_iIndex > 1)
    {
        wchar_t szIndex[16];
        wsprintfW(szIndex, L"+%d", key.m_iIndex);
        strText += szIndex;
    }
    UINT uiHash = 0;
    for (const wchar_t* p = strText.c_str(); *p != 0; p++)
        uiHash = uiHash * 33 + (UINT)*p;
    return uiHash;
}

VZ_IniFileEx::VZ_IniFileEx(int iSectionTableSize, int iKeyTableSize)
    : m_iKeyTableSize(iKeyTableSize > 0 ? iKeyTableSize : DEFAULT_TABLE_SIZE),
      m_lpFirstNode(NULL), m_mapSection(NODE_BLOCK_SIZE), m_bUnicode(false),
      m_bSectionSeen(false)
{
    m_mapSection.InitHashTable(iSectionTableSize > 0 ? iSectionTableSize : DEFAULT_TABLE_SIZE);
}

VZ_IniFileEx::~VZ_IniFileEx()
{
    Clear();
}

void VZ_IniFileEx::Clear()
{
    UINT uiBuckets = m_mapSection.GetHashTableSize();
    m_mapSection.RemoveAll();
    m_mapSection.InitHashTable(uiBuckets);
    while (m_lpFirstNode != NULL)
    {
        VZ_IniNode* lpNext = m_lpFirstNode->m_pNext;
        delete m_lpFirstNode;   // frees a section's key map too
        m_lpFirstNode = lpNext;
    }
    m_strHeader.Empty();
    m_bUnicode = false;
    m_bSectionSeen = false;
}

bool VZ_IniFileEx::Load(const char* lpszPath, bool bUnicode)
{
    Clear();
    m_strPath = lpszPath;
    if (m_strPath.IsEmpty())
        return false;
    bool bExisted = _access(lpszPath, 0) == 0;
    // "ab+" creates a missing file and never truncates one; fopen_s would
    // deny other readers, which an INI file must not.
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    FILE* fp = fopen(lpszPath, "ab+");
    if (fp == NULL)
        return false;
    if (!bExisted && bUnicode)
    {
        m_bUnicode = true;
        fwrite("\xFF\xFE", 1, 2, fp);
        fflush(fp);
    }
    // A file that cannot be sized or read loads as empty: only a failed
    // open is an error.
    long lSize = (fseek(fp, 0, SEEK_END) == 0) ? ftell(fp) : -1;
    if (lSize > 0 && fseek(fp, 0, SEEK_SET) == 0)
    {
        BYTE* lpData = new BYTE[lSize];
        size_t uiRead = fread(lpData, 1, (size_t)lSize, fp);
        LoadBuffer(lpData, (UINT)uiRead, bUnicode);
        delete[] lpData;
    }
    fclose(fp);
    return true;
}

void VZ_IniFileEx::LoadBuffer(const BYTE* lpData, UINT uiSize, bool bUnicode)
{
    if (uiSize < (bUnicode ? 5u : 3u))
        return;
    if (lpData[0] == 0xFF && lpData[1] == 0xFE)
    {
        m_bUnicode = true;
        // An odd last byte is half a code unit and is dropped.
        Utf16Text text = { lpData + 2, (uiSize - 2) / 2 };
        LoadText(text);
    }
    else
    {
        AnsiText text = { lpData, uiSize };
        LoadText(text);
    }
}

// Lines are split at CR LF pairs only; a lone CR or LF stays in its line.
template<class TEXT>
void VZ_IniFileEx::LoadText(const TEXT& text)
{
    VZ_IniNode* lpCurSection = NULL;
    VZ_IniNode* lpLastNode = NULL;
    UINT uiEnd = TextEnd(text);
    UINT uiStart = 0;
    for (UINT i = 0; i + 1 < uiEnd;)
    {
        if (text.At(i) == L'\r' && text.At(i + 1) == L'\n')
        {
            AddLine(text.Line(uiStart, i), lpCurSection, lpLastNode);
            i += 2;
            uiStart = i;
        }
        else
            i++;
    }
    AddLine(text.Line(uiStart, uiEnd), lpCurSection, lpLastNode);
}

void VZ_IniFileEx::AddLine(const VZ_StringW& strLine, VZ_IniNode*& lpCurSection,
                           VZ_IniNode*& lpLastNode)
{
    // The first section header must parse as one: a bracketed line holding
    // '=' would be a key, which has no section to belong to yet.
    if (!m_bSectionSeen && !(IsBracketed(strLine) && KeyEqualPos(strLine) < 0))
    {
        AddHeaderLine(strLine);
        return;
    }
    m_bSectionSeen = true;
    VZ_IniNode* lpNode = ParseLine(strLine, lpCurSection);
    lpNode->m_pPrev = lpLastNode;
    if (lpLastNode != NULL)
        lpLastNode->m_pNext = lpNode;
    else
        m_lpFirstNode = lpNode;
    lpLastNode = lpNode;
    if (lpNode->m_type == VZ_IniNode::Section)
        lpCurSection = lpNode;
}

void VZ_IniFileEx::AddHeaderLine(const VZ_StringW& strLine)
{
    if (IsCommentLine(strLine))
        m_strHeader += VZ_StringA(strLine.Mid(strLine[0] == L'=' ? 1 : 0));
    m_strHeader += "\r\n";
}

VZ_IniNode* VZ_IniFileEx::ParseLine(const VZ_StringW& strLine, VZ_IniNode* lpCurSection)
{
    VZ_IniNode* lpNode = new VZ_IniNode;
    int n = strLine.GetLength();
    int iEqual = KeyEqualPos(strLine);
    if (iEqual < 0 && IsBracketed(strLine))
    {
        ParseSection(lpNode, strLine);
        return lpNode;
    }
    lpNode->m_lpSection = lpCurSection;
    if (iEqual >= 0)
        ParseKey(lpNode, strLine, iEqual);
    else if (IsCommentLine(strLine))
        ParseComment(lpNode, strLine);
    else if (n == 0 || (n == 1 && strLine[0] == L'='))
    {
        lpNode->m_type = VZ_IniNode::Blank;
        lpNode->m_strLine = strLine;
    }
    else
        lpNode->m_lpSection = NULL;   // None: no section, no text
    return lpNode;
}

void VZ_IniFileEx::ParseKey(VZ_IniNode* lpNode, const VZ_StringW& strLine, int iEqual)
{
    VZ_IniNodeMap& mapKeys = *lpNode->m_lpSection->m_lpMapKey2Value;
    VZ_StringW strName = strLine.Left(iEqual);
    lpNode->m_type = VZ_IniNode::Key;
    lpNode->m_strLine = strLine;
    lpNode->m_strValue = strLine.Mid(iEqual + 1);
    lpNode->m_key = VZ_IniKey(strName, FreeIndex(mapKeys, strName));
    mapKeys[lpNode->m_key] = lpNode;
}

void VZ_IniFileEx::ParseSection(VZ_IniNode* lpNode, const VZ_StringW& strLine)
{
    lpNode->m_type = VZ_IniNode::Section;
    lpNode->m_strLine = strLine;
    lpNode->m_strValue = strLine;
    lpNode->m_key = VZ_IniKey(strLine, 1);
    lpNode->m_lpMapKey2Value = new VZ_IniNodeMap(NODE_BLOCK_SIZE);
    lpNode->m_lpMapKey2Value->InitHashTable(m_iKeyTableSize);
    m_mapSection[VZ_IniKey(strLine, FreeIndex(m_mapSection, strLine))] = lpNode;
}

void VZ_IniFileEx::ParseComment(VZ_IniNode* lpNode, const VZ_StringW& strLine)
{
    VZ_IniNodeMap& mapKeys = *lpNode->m_lpSection->m_lpMapKey2Value;
    VZ_StringW strText = strLine.Mid(strLine[0] == L'=' ? 1 : 0);
    lpNode->m_type = VZ_IniNode::Comment;
    lpNode->m_strLine = strText;
    lpNode->m_strValue = strText;
    lpNode->m_key = VZ_IniKey(strText, FreeIndex(mapKeys, strText));
    mapKeys[lpNode->m_key] = lpNode;
}

VZ_StringW VZ_IniFileEx::GetString(const wchar_t* lpszSection, const wchar_t* lpszKey,
                                   const wchar_t* lpszDefault) const
{
    VZ_StringW strDefault(lpszDefault);
    VZ_StringW strSection(lpszSection);
    VZ_StringW strKey(lpszKey);
    if (strSection.IsEmpty() || strSection.Find(L'=') >= 0 || strKey.Find(L'=') >= 0)
        return strDefault;
    if (strSection[0] != L'[')
        strSection = L"[" + strSection;
    if (strSection[strSection.GetLength() - 1] != L']')
        strSection += L']';
    VZ_IniNode* lpSection = NULL;
    VZ_IniNode* lpKey = NULL;
    if (!m_mapSection.Lookup(VZ_IniKey(strSection, 1), lpSection)
        || !lpSection->m_lpMapKey2Value->Lookup(VZ_IniKey(strKey, 1), lpKey))
        return strDefault;
    return lpKey->m_strValue;
}

bool VZ_IniFileEx::QueryString(const wchar_t* lpszSection, const wchar_t* lpszKey,
                               VZ_StringW& strValue, const wchar_t* lpszDefault) const
{
    strValue = GetString(lpszSection, lpszKey, lpszDefault);
    return strValue.Compare(lpszDefault) != 0;
}

int VZ_IniFileEx::GetInt(const wchar_t* lpszSection, const wchar_t* lpszKey, int iDefault) const
{
    VZ_StringW strValue = GetString(lpszSection, lpszKey, L"error");
    if (strValue == L"error")
        return iDefault;
    return (int)_wtol(strValue);
}

bool VZ_IniFileEx::GetBool(const wchar_t* lpszSection, const wchar_t* lpszKey, bool bDefault) const
{
    VZ_StringW strValue = GetString(lpszSection, lpszKey, L"error");
    if (strValue == L"1")
        return true;
    if (strValue == L"0")
        return false;
    return bDefault;
}

bool VZ_IniFileEx::QueryString(const char* lpszSection, const char* lpszKey,
                               VZ_StringA& strValue, const char* lpszDefault) const
{
    VZ_StringW strValueW;
    bool bFound = QueryString(VZ_StringW(lpszSection), VZ_StringW(lpszKey), strValueW,
                              VZ_StringW(lpszDefault));
    strValue = VZ_StringA(strValueW);
    return bFound;
}

int VZ_IniFileEx::GetInt(const char* lpszSection, const char* lpszKey, int iDefault) const
{
    return GetInt(VZ_StringW(lpszSection), VZ_StringW(lpszKey), iDefault);
}

bool VZ_IniFileEx::GetBool(const char* lpszSection, const char* lpszKey, bool bDefault) const
{
    return GetBool(VZ_StringW(lpszSection), VZ_StringW(lpszKey), bDefault);
}
