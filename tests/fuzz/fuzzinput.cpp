#include "fuzzinput.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

FuzzInput::FuzzInput(const uint8_t *data, size_t size)
    : copy(static_cast<char *>(std::malloc(size)))
{
    if (size > 0)
        std::memcpy(copy, data, size);
    view = QByteArray::fromRawData(copy, qsizetype(size));
}

FuzzInput::~FuzzInput()
{
    view.clear();
    std::free(copy);
}

void FuzzInput::require(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
}
