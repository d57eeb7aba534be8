// Stand-in for the Windows SDK header, for the slot order probe and the
// MSVC-ABI host, which are built without any SDK: the types the interfaces
// name, as the SDK defines them (LLP64: long is 32 bits for both compilers).
#pragma once
#ifdef _WIN64
typedef unsigned long long UINT_PTR;
#else
typedef unsigned int UINT_PTR;
#endif
typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (~(SOCKET)0)
typedef void* HANDLE;
typedef unsigned long DWORD;
typedef unsigned long ULONG;
typedef unsigned int UINT;
typedef unsigned short USHORT;
typedef unsigned char BYTE;
struct in_addr {
    ULONG s_addr;
};
struct sockaddr_in {
    short sin_family;
    USHORT sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
