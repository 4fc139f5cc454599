// libFuzzer target for the firmware server's version file, the one text the
// tool parses from the network. Checks that the parse reads nothing past the
// content (AddressSanitizer, on a copy of exactly the input's size) and
// that it accepts exactly what the C library's own reading of "%d %s"
// accepts: the number by strtoll, the token as the next run of non-blanks.
#include "fuzzinput.h"
#include "versionfile.h"

#include <QByteArray>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool isBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Where the C library would put the number and the token: the text as a C
// string without its line breaks, read by strtoll and then by hand.
struct Reading
{
    std::string text;
    size_t numberEnd = 0;
    bool accepted = false;
    long long number = 0;
    std::string token;
};

Reading readAsC(const uint8_t *data, size_t size)
{
    Reading reading;
    for (size_t i = 0; i < size && data[i] != '\0'; ++i) {
        if (data[i] != '\r' && data[i] != '\n')
            reading.text.push_back(char(data[i]));
    }
    const char *begin = reading.text.c_str();
    char *numberEnd = nullptr;
    errno = 0;
    reading.number = std::strtoll(begin, &numberEnd, 10);
    if (numberEnd == begin || errno != 0 || reading.number < INT_MIN || reading.number > INT_MAX)
        return reading;
    reading.numberEnd = size_t(numberEnd - begin);
    const char *p = numberEnd;
    while (*p != '\0' && isBlank(*p))
        ++p;
    const char *tokenStart = p;
    while (*p != '\0' && !isBlank(*p))
        ++p;
    reading.token.assign(tokenStart, p);
    reading.accepted = !reading.token.empty() && reading.token.size() <= 32;
    return reading;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FuzzInput input(data, size);
    const QByteArray &content = input.bytes();

    int version = 0x5a5a5a5a;
    QByteArray digest("untouched");
    const bool accepted = parseVersionFile(content, &version, &digest);
    const Reading expected = readAsC(data, size);

    FuzzInput::require(accepted == expected.accepted,
                       "accepted what the C reading refuses, or the reverse");
    if (accepted) {
        FuzzInput::require(version == expected.number, "number differs from strtoll's");
        FuzzInput::require(digest.size() >= 1 && digest.size() <= 32,
                           "digest of 0 or more than 32 bytes");
        for (char c : digest)
            FuzzInput::require(c != '\0' && !isBlank(c), "blank or NUL byte in the digest");
        FuzzInput::require(digest == QByteArray::fromStdString(expected.token),
                           "digest is not the token");
        FuzzInput::require(expected.text.find(digest.toStdString(), expected.numberEnd)
                               != std::string::npos,
                           "digest does not follow the number");
    } else {
        FuzzInput::require(version == 0x5a5a5a5a && digest == "untouched",
                           "refused, yet gave a result");
    }
    return 0;
}
