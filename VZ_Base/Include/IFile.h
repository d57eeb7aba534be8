// The system's abstract byte-stream file.
#pragma once

class IFile {
public:
    // Bytes read (0 at end of file), or -1.
    virtual int Read(void* lpBuffer, int iSize) = 0;
    // Bytes written, or -1.
    virtual int Write(const void* lpBuffer, int iSize) = 0;
    virtual ~IFile() {}
};
