// Read-only INI file reader: ANSI or UTF-16LE (with byte-order mark) text
// loaded into a list of line nodes, with hash maps for sections and keys.
//
// Names are compared without regard to case, nothing is trimmed, and
// duplicates stay in the data with the first occurrence winning. Nothing
// writes keys back; the nodes keep each line's text and order so that a
// writer could be added without changing the data model.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "VZ_Locker.h"
#include "VZ_Map.h"
#include "VZ_String.h"

// A name and its occurrence: 1 for the first, 2, 3, ... for later duplicates.
struct VZ_IniKey
{
    VZ_StringW m_strName;
    int m_iIndex;

    VZ_IniKey() : m_iIndex(0) {}
    VZ_IniKey(const VZ_StringW& strName, int iIndex) : m_strName(strName), m_iIndex(iIndex) {}
    bool operator==(const VZ_IniKey& key) const
    {
        return m_iIndex == key.m_iIndex && _wcsicmp(m_strName, key.m_strName) == 0;
    }
};

// The lower-case name, "+index" appended above index 1, hashed by h = h * 33 + c.
UINT VZ_HashKey(const VZ_IniKey& key);

struct VZ_IniNode;
typedef VZ_Map<VZ_IniKey, const VZ_IniKey&, VZ_IniNode*, VZ_IniNode*> VZ_IniNodeMap;

struct VZ_IniNode
{
    enum { None = 0, Section = 1, Key = 2, Blank = 3, Comment = 4 };

    int m_type;
    VZ_StringW m_strLine;
    VZ_IniKey m_key;
    VZ_StringW m_strValue;
    VZ_IniNodeMap* m_lpMapKey2Value;   // a section's own keys and comments
    VZ_IniNode* m_lpSection;           // owner of a key, comment or blank line
    VZ_IniNode* m_pPrev;
    VZ_IniNode* m_pNext;

    VZ_IniNode();
    ~VZ_IniNode();   // checks the invariants between type, map and section

private:
    VZ_IniNode(const VZ_IniNode&) = delete;
    VZ_IniNode& operator=(const VZ_IniNode&) = delete;
};

class VZ_IniFileEx
{
public:
    // Non-positive sizes fall back to 17 buckets.
    VZ_IniFileEx(int iSectionTableSize, int iKeyTableSize);
    virtual ~VZ_IniFileEx();

    // Creates a missing file (with a byte-order mark when bUnicode); false only
    // when the file cannot be opened. A second Load replaces what was loaded.
    bool Load(const char* lpszPath, bool bUnicode);

    VZ_StringW GetString(const wchar_t* lpszSection, const wchar_t* lpszKey,
                         const wchar_t* lpszDefault) const;
    // False when the value equals the default (with case): such a key counts as absent.
    bool QueryString(const wchar_t* lpszSection, const wchar_t* lpszKey, VZ_StringW& strValue,
                     const wchar_t* lpszDefault) const;
    int GetInt(const wchar_t* lpszSection, const wchar_t* lpszKey, int iDefault) const;
    bool GetBool(const wchar_t* lpszSection, const wchar_t* lpszKey, bool bDefault) const;

    // Narrow forms: ANSI code page both ways.
    bool QueryString(const char* lpszSection, const char* lpszKey, VZ_StringA& strValue,
                     const char* lpszDefault) const;
    int GetInt(const char* lpszSection, const char* lpszKey, int iDefault) const;
    bool GetBool(const char* lpszSection, const char* lpszKey, bool bDefault) const;

    bool IsUnicode() const { return m_bUnicode; }
    const VZ_StringA& GetPath() const { return m_strPath; }
    // Comment lines before the first section, each followed by "\r\n".
    const VZ_StringA& GetHeader() const { return m_strHeader; }
    const VZ_IniNode* GetFirstNode() const { return m_lpFirstNode; }

protected:
    // The file's bytes as Load read them (uiSize bytes, no terminator needed):
    // short files are skipped, a leading FF FE selects UTF-16LE. Never reads
    // past lpData + uiSize.
    void LoadBuffer(const BYTE* lpData, UINT uiSize, bool bUnicode);

private:
    int m_iKeyTableSize;
    VZ_Locker m_lock;                  // not taken here: one thread at a time
    VZ_IniNode* m_lpFirstNode;
    VZ_IniNodeMap m_mapSection;
    VZ_StringA m_strPath;
    bool m_bUnicode;
    VZ_StringA m_strHeader;
    bool m_bSectionSeen;

    // Loading: lpCurSection is the section new lines belong to, lpLastNode
    // the node the next one is linked after.
    template<class TEXT> void LoadText(const TEXT& text);
    void AddLine(const VZ_StringW& strLine, VZ_IniNode*& lpCurSection, VZ_IniNode*& lpLastNode);
    void AddHeaderLine(const VZ_StringW& strLine);
    VZ_IniNode* ParseLine(const VZ_StringW& strLine, VZ_IniNode* lpCurSection);
    void ParseKey(VZ_IniNode* lpNode, const VZ_StringW& strLine, int iEqual);
    void ParseSection(VZ_IniNode* lpNode, const VZ_StringW& strLine);
    void ParseComment(VZ_IniNode* lpNode, const VZ_StringW& strLine);
    void Clear();

    VZ_IniFileEx(const VZ_IniFileEx&) = delete;
    VZ_IniFileEx& operator=(const VZ_IniFileEx&) = delete;
};
