// Bounded text copy: the one helper through which text enters a fixed buffer.
#pragma once

// Copies at most size-1 bytes of src into dst and always terminates it.
// A null src gives the empty text. Returns 1 when the whole text fitted, 0 when it was cut.
inline int CopyText(char* dst, unsigned size, const char* src)
{
    if (dst == nullptr || size == 0)
        return 0;
    unsigned i = 0;
    if (src != nullptr) {
        for (; i + 1 < size && src[i] != '\0'; ++i)
            dst[i] = src[i];
    }
    dst[i] = '\0';
    return src == nullptr || src[i] == '\0';
}

// Appends src to the text already in dst under the same rule. Returns 1 when it fitted.
inline int AppendText(char* dst, unsigned size, const char* src)
{
    unsigned used = 0;
    while (used < size && dst[used] != '\0')
        ++used;
    if (used >= size)
        return 0;
    return CopyText(dst + used, size - used, src);
}
