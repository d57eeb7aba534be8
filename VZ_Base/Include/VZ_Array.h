// Growable array, and its locked variant.
#pragma once

#include <string.h>
#include <new>
#include <utility>

#include "VZ_Assert.h"
#include "VZ_Locker.h"

template<class TYPE, class ARG_TYPE = const TYPE&>
class VZ_Array
{
public:
    VZ_Array() : m_lpData(NULL), m_iSize(0), m_iCapacity(0), m_iGrowBy(0) {}
    VZ_Array(const VZ_Array& other);             // deep copy
    VZ_Array& operator=(const VZ_Array& other);
    ~VZ_Array() { SetSize(0, -1); }

    int GetSize() const { return m_iSize; }
    int GetCount() const { return m_iSize; }
    int GetCapacity() const { return m_iCapacity; }
    bool IsEmpty() const { return m_iSize == 0; }

    // nGrowBy other than -1 replaces the stored grow-by (0 = automatic).
    void SetSize(int nNewSize, int nGrowBy = -1);
    int Add(ARG_TYPE newElement);                // index of the new element
    void RemoveAt(int nIndex, int nCount = 1);   // later elements move down
    void RemoveAll() { SetSize(0, -1); }

    TYPE& operator[](int nIndex);
    const TYPE& operator[](int nIndex) const;
    TYPE GetAt(int nIndex) const { return (*this)[nIndex]; }
    void SetAt(int nIndex, ARG_TYPE newElement) { (*this)[nIndex] = newElement; }
    TYPE* GetData() { return m_lpData; }
    const TYPE* GetData() const { return m_lpData; }

private:
    static void ConstructZeroed(TYPE* lpFirst, int nCount);
    static void Destruct(TYPE* lpFirst, int nCount);
    void Grow(int nNewSize);

    TYPE* m_lpData;
    int m_iSize;        // elements in use
    int m_iCapacity;    // elements allocated
    int m_iGrowBy;      // 0: size / 8, clamped to 4..1024
};

template<class TYPE, class ARG_TYPE>
VZ_Array<TYPE, ARG_TYPE>::VZ_Array(const VZ_Array& other)
    : m_lpData(NULL), m_iSize(0), m_iCapacity(0), m_iGrowBy(other.m_iGrowBy)
{
    *this = other;
}

template<class TYPE, class ARG_TYPE>
VZ_Array<TYPE, ARG_TYPE>& VZ_Array<TYPE, ARG_TYPE>::operator=(const VZ_Array& other)
{
    if (this != &other)
    {
        SetSize(other.m_iSize, -1);
        for (int i = 0; i < m_iSize; i++)
            m_lpData[i] = other.m_lpData[i];
    }
    return *this;
}

template<class TYPE, class ARG_TYPE>
void VZ_Array<TYPE, ARG_TYPE>::ConstructZeroed(TYPE* lpFirst, int nCount)
{
    if (nCount <= 0)
        return;
    memset((void*)lpFirst, 0, (size_t)nCount * sizeof(TYPE));
    for (int i = 0; i < nCount; i++)
        ::new ((void*)(lpFirst + i)) TYPE();
}

template<class TYPE, class ARG_TYPE>
void VZ_Array<TYPE, ARG_TYPE>::Destruct(TYPE* lpFirst, int nCount)
{
    for (int i = 0; i < nCount; i++)
        lpFirst[i].~TYPE();
}

template<class TYPE, class ARG_TYPE>
void VZ_Array<TYPE, ARG_TYPE>::SetSize(int nNewSize, int nGrowBy)
{
    // 1. A given grow-by replaces the stored one.
    if (nGrowBy != -1)
        m_iGrowBy = nGrowBy;
    // 2. Empty: free everything.
    if (nNewSize <= 0)
    {
        if (m_lpData != NULL)
        {
            Destruct(m_lpData, m_iSize);
            ::operator delete((void*)m_lpData);
        }
        m_lpData = NULL;
        m_iSize = m_iCapacity = 0;
        return;
    }
    // 3. First allocation: exactly the size asked for.
    if (m_lpData == NULL)
    {
        m_lpData = (TYPE*)::operator new((size_t)nNewSize * sizeof(TYPE));
        ConstructZeroed(m_lpData, nNewSize);
        m_iSize = m_iCapacity = nNewSize;
        return;
    }
    // 4. Fits: construct the new tail or destroy the dropped one.
    if (nNewSize <= m_iCapacity)
    {
        if (nNewSize > m_iSize)
            ConstructZeroed(m_lpData + m_iSize, nNewSize - m_iSize);
        else
            Destruct(m_lpData + nNewSize, m_iSize - nNewSize);
        m_iSize = nNewSize;
        return;
    }
    // 5. Grow into a new allocation.
    Grow(nNewSize);
}

template<class TYPE, class ARG_TYPE>
void VZ_Array<TYPE, ARG_TYPE>::Grow(int nNewSize)
{
    int nStep = m_iGrowBy;
    if (nStep == 0)
    {
        nStep = m_iSize / 8;
        nStep = nStep < 4 ? 4 : (nStep > 1024 ? 1024 : nStep);
    }
    int nNewCapacity = nNewSize > m_iCapacity + nStep ? nNewSize : m_iCapacity + nStep;
    TYPE* lpNew = (TYPE*)::operator new((size_t)nNewCapacity * sizeof(TYPE));
    memset((void*)lpNew, 0, (size_t)m_iSize * sizeof(TYPE));
    for (int i = 0; i < m_iSize; i++)
        ::new ((void*)(lpNew + i)) TYPE(std::move(m_lpData[i]));
    Destruct(m_lpData, m_iSize);
    ConstructZeroed(lpNew + m_iSize, nNewSize - m_iSize);
    ::operator delete((void*)m_lpData);
    m_lpData = lpNew;
    m_iSize = nNewSize;
    m_iCapacity = nNewCapacity;
}

template<class TYPE, class ARG_TYPE>
int VZ_Array<TYPE, ARG_TYPE>::Add(ARG_TYPE newElement)
{
    int nIndex = m_iSize;
    if (nIndex < m_iCapacity)
    {
        SetSize(nIndex + 1, -1);
        m_lpData[nIndex] = newElement;
        return nIndex;
    }
    // Growth frees the old data, which may hold newElement itself.
    TYPE copy(newElement);
    SetSize(nIndex + 1, -1);
    m_lpData[nIndex] = copy;
    return nIndex;
}

template<class TYPE, class ARG_TYPE>
void VZ_Array<TYPE, ARG_TYPE>::RemoveAt(int nIndex, int nCount)
{
    VZ_ASSERT(nIndex >= 0 && nCount >= 0 && nIndex + nCount <= m_iSize);
    for (int i = nIndex; i + nCount < m_iSize; i++)
        m_lpData[i] = std::move(m_lpData[i + nCount]);
    Destruct(m_lpData + m_iSize - nCount, nCount);
    m_iSize -= nCount;
}

template<class TYPE, class ARG_TYPE>
TYPE& VZ_Array<TYPE, ARG_TYPE>::operator[](int nIndex)
{
    VZ_ASSERT(nIndex >= 0 && nIndex < m_iSize);
    return m_lpData[nIndex];
}

template<class TYPE, class ARG_TYPE>
const TYPE& VZ_Array<TYPE, ARG_TYPE>::operator[](int nIndex) const
{
    VZ_ASSERT(nIndex >= 0 && nIndex < m_iSize);
    return m_lpData[nIndex];
}

// An array plus the lock its users take around every use; no operation locks
// by itself. Destruction deletes the critical section, then empties the array.
template<class TYPE, class ARG_TYPE = const TYPE&>
class VZ_LckArray : public VZ_Array<TYPE, ARG_TYPE>, public VZ_Locker
{
public:
    VZ_LckArray() {}
};
