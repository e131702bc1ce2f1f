// Guarded output buffers.
#include "validate/guarded.h"

#include <cstring>

namespace validate {

GuardedBuffer::GuardedBuffer(unsigned size) : size_(size)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    DWORD page = info.dwPageSize;
    DWORD usable = (size + page - 1) / page * page;
    if (usable == 0)
        usable = page;
    span_ = usable + page;
    pages_ = (BYTE*)VirtualAlloc(nullptr, span_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    VirtualProtect(pages_ + usable, page, PAGE_NOACCESS, &old);
    data_ = (char*)(pages_ + usable - size);
    Fill();
}

GuardedBuffer::~GuardedBuffer()
{
    if (pages_ != nullptr)
        VirtualFree(pages_, 0, MEM_RELEASE);
}

void GuardedBuffer::Fill() { memset(data_, 0x7E, size_); }

bool GuardedBuffer::Untouched() const
{
    for (unsigned i = 0; i < size_; ++i)
        if ((BYTE)data_[i] != 0x7E)
            return false;
    return true;
}

bool GuardedBuffer::Terminated() const { return memchr(data_, 0, size_) != nullptr; }

} // namespace validate
