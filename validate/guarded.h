// Output buffers that end where an inaccessible page begins, so that a write past their end
// faults at once (and the crash report names the check) instead of passing silently.
#pragma once

#include <windows.h>

namespace validate {

class GuardedBuffer {
public:
    explicit GuardedBuffer(unsigned size);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    char* data() const { return data_; }
    unsigned size() const { return size_; }
    // Fills the buffer with a byte that no title contains; Untouched tells whether it stayed so.
    void Fill();
    bool Untouched() const;
    // True when a NUL ends the text inside the buffer.
    bool Terminated() const;

private:
    BYTE* pages_ = nullptr;
    DWORD span_ = 0;
    char* data_ = nullptr;
    unsigned size_ = 0;
};

} // namespace validate
