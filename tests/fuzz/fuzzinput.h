#ifndef FUZZINPUT_H
#define FUZZINPUT_H

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// One fuzzer input as the code under test gets it: a QByteArray over a heap
// block of exactly the input's size with no NUL byte behind it, so that
// AddressSanitizer reports any read past the end.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size);
    ~FuzzInput();
    FuzzInput(const FuzzInput &) = delete;
    FuzzInput &operator=(const FuzzInput &) = delete;

    const QByteArray &bytes() const { return view; }

    // A broken invariant ends the run as a crash, which libFuzzer keeps as a
    // finding; the text says which one broke.
    static void require(bool holds, const char *what);

private:
    char *copy;
    QByteArray view;
};

#endif // FUZZINPUT_H
