// Doubly linked list with nodes from VZ_Plex blocks, and its locked variant.
#pragma once

#include <string.h>
#include <new>

#include "VZ_Locker.h"
#include "VZ_Plex.h"

template<class TYPE, class ARG_TYPE = const TYPE&>
class VZ_List
{
public:
    struct NODE
    {
        NODE* lpNext;
        NODE* lpPrev;
        TYPE data;
    };

    explicit VZ_List(int nBlockSize = 10);
    // Copies are deep (records stored by value may carry a list); the copy
    // keeps its own block size.
    VZ_List(const VZ_List& other);
    VZ_List& operator=(const VZ_List& other);
    ~VZ_List();

    int GetCount() const { return m_iCount; }
    bool IsEmpty() const { return m_iCount == 0; }

    VZ_POSITION AddHead(ARG_TYPE newElement);
    VZ_POSITION AddTail(ARG_TYPE newElement);
    TYPE RemoveHead();                 // caller ensures not empty
    TYPE RemoveTail();                 // caller ensures not empty
    void RemoveAt(VZ_POSITION pos);    // NULL does nothing
    void RemoveAll();

    VZ_POSITION GetHeadPosition() const { return (VZ_POSITION)m_lpHead; }
    VZ_POSITION GetTailPosition() const { return (VZ_POSITION)m_lpTail; }
    // The element at rPos; rPos then moves on (NULL past the end).
    TYPE& GetNext(VZ_POSITION& rPos);
    const TYPE& GetNext(VZ_POSITION& rPos) const { return const_cast<VZ_List*>(this)->GetNext(rPos); }
    TYPE& GetPrev(VZ_POSITION& rPos);
    const TYPE& GetPrev(VZ_POSITION& rPos) const { return const_cast<VZ_List*>(this)->GetPrev(rPos); }
    TYPE& GetAt(VZ_POSITION pos) { return ((NODE*)pos)->data; }
    const TYPE& GetAt(VZ_POSITION pos) const { return ((NODE*)pos)->data; }
    TYPE& GetHead() { return m_lpHead->data; }
    const TYPE& GetHead() const { return m_lpHead->data; }
    TYPE& GetTail() { return m_lpTail->data; }
    const TYPE& GetTail() const { return m_lpTail->data; }

private:
    NODE* NewNode(NODE* lpPrev, NODE* lpNext, ARG_TYPE newElement);
    void FreeNode(NODE* lpNode);

    NODE* m_lpHead;
    NODE* m_lpTail;
    int m_iCount;
    NODE* m_lpFreeList;
    VZ_Plex* m_lpBlocks;
    int m_iBlockSize;
};

template<class TYPE, class ARG_TYPE>
VZ_List<TYPE, ARG_TYPE>::VZ_List(int nBlockSize)
    : m_lpHead(NULL), m_lpTail(NULL), m_iCount(0),
      m_lpFreeList(NULL), m_lpBlocks(NULL), m_iBlockSize(nBlockSize)
{
    static_assert(alignof(NODE) <= alignof(VZ_Plex), "node alignment exceeds the block header's");
}

template<class TYPE, class ARG_TYPE>
VZ_List<TYPE, ARG_TYPE>::VZ_List(const VZ_List& other)
    : m_lpHead(NULL), m_lpTail(NULL), m_iCount(0),
      m_lpFreeList(NULL), m_lpBlocks(NULL), m_iBlockSize(other.m_iBlockSize)
{
    for (NODE* p = other.m_lpHead; p != NULL; p = p->lpNext)
        AddTail(p->data);
}

template<class TYPE, class ARG_TYPE>
VZ_List<TYPE, ARG_TYPE>& VZ_List<TYPE, ARG_TYPE>::operator=(const VZ_List& other)
{
    if (this != &other)
    {
        RemoveAll();
        for (NODE* p = other.m_lpHead; p != NULL; p = p->lpNext)
            AddTail(p->data);
    }
    return *this;
}

template<class TYPE, class ARG_TYPE>
VZ_List<TYPE, ARG_TYPE>::~VZ_List()
{
    RemoveAll();
}

template<class TYPE, class ARG_TYPE>
VZ_POSITION VZ_List<TYPE, ARG_TYPE>::AddHead(ARG_TYPE newElement)
{
    NODE* p = NewNode(NULL, m_lpHead, newElement);
    if (m_lpHead != NULL)
        m_lpHead->lpPrev = p;
    else
        m_lpTail = p;
    m_lpHead = p;
    return (VZ_POSITION)p;
}

template<class TYPE, class ARG_TYPE>
VZ_POSITION VZ_List<TYPE, ARG_TYPE>::AddTail(ARG_TYPE newElement)
{
    NODE* p = NewNode(m_lpTail, NULL, newElement);
    if (m_lpTail != NULL)
        m_lpTail->lpNext = p;
    else
        m_lpHead = p;
    m_lpTail = p;
    return (VZ_POSITION)p;
}

template<class TYPE, class ARG_TYPE>
TYPE VZ_List<TYPE, ARG_TYPE>::RemoveHead()
{
    NODE* p = m_lpHead;
    TYPE result(p->data);
    RemoveAt((VZ_POSITION)p);
    return result;
}

template<class TYPE, class ARG_TYPE>
TYPE VZ_List<TYPE, ARG_TYPE>::RemoveTail()
{
    NODE* p = m_lpTail;
    TYPE result(p->data);
    RemoveAt((VZ_POSITION)p);
    return result;
}

template<class TYPE, class ARG_TYPE>
void VZ_List<TYPE, ARG_TYPE>::RemoveAt(VZ_POSITION pos)
{
    NODE* p = (NODE*)pos;
    if (p == NULL)
        return;
    if (p->lpPrev != NULL)
        p->lpPrev->lpNext = p->lpNext;
    else
        m_lpHead = p->lpNext;
    if (p->lpNext != NULL)
        p->lpNext->lpPrev = p->lpPrev;
    else
        m_lpTail = p->lpPrev;
    FreeNode(p);
}

template<class TYPE, class ARG_TYPE>
void VZ_List<TYPE, ARG_TYPE>::RemoveAll()
{
    for (NODE* p = m_lpHead; p != NULL; p = p->lpNext)
        p->data.~TYPE();
    m_lpHead = m_lpTail = NULL;
    m_iCount = 0;
    m_lpFreeList = NULL;
    if (m_lpBlocks != NULL)
        m_lpBlocks->FreeDataChain();
    m_lpBlocks = NULL;
}

template<class TYPE, class ARG_TYPE>
TYPE& VZ_List<TYPE, ARG_TYPE>::GetNext(VZ_POSITION& rPos)
{
    NODE* p = (NODE*)rPos;
    rPos = (VZ_POSITION)p->lpNext;
    return p->data;
}

template<class TYPE, class ARG_TYPE>
TYPE& VZ_List<TYPE, ARG_TYPE>::GetPrev(VZ_POSITION& rPos)
{
    NODE* p = (NODE*)rPos;
    rPos = (VZ_POSITION)p->lpPrev;
    return p->data;
}

template<class TYPE, class ARG_TYPE>
typename VZ_List<TYPE, ARG_TYPE>::NODE*
VZ_List<TYPE, ARG_TYPE>::NewNode(NODE* lpPrev, NODE* lpNext, ARG_TYPE newElement)
{
    NODE* p = VZ_PlexTakeNode(m_lpBlocks, m_iBlockSize, m_lpFreeList);
    m_iCount++;
    p->lpPrev = lpPrev;
    p->lpNext = lpNext;
    ::new ((void*)&p->data) TYPE(newElement);
    return p;
}

template<class TYPE, class ARG_TYPE>
void VZ_List<TYPE, ARG_TYPE>::FreeNode(NODE* lpNode)
{
    lpNode->data.~TYPE();
    lpNode->lpNext = m_lpFreeList;
    m_lpFreeList = lpNode;
    m_iCount--;
    // Back to empty: give every block back at once.
    if (m_iCount == 0)
        RemoveAll();
}

// A list plus the lock its users take around every use; no operation locks by
// itself. Destruction deletes the critical section, then empties the list.
template<class TYPE, class ARG_TYPE = const TYPE&>
class VZ_LckList : public VZ_List<TYPE, ARG_TYPE>, public VZ_Locker
{
public:
    explicit VZ_LckList(int nBlockSize = 10) : VZ_List<TYPE, ARG_TYPE>(nBlockSize) {}
};
