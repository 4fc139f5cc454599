#include "versionfile.h"

#include <climits>

namespace {

// The room for the digest token; a longer one is refused, not truncated.
constexpr qsizetype DigestRoom = 32;

bool isBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

// The file is read by the rules of sscanf's "%d %s" on the file's text with
// its line breaks deleted: optional blanks, an optional sign and decimal
// digits, any run of blanks (an empty one too), then a run of non-blank
// characters; the rest is ignored, and the text ends at a NUL byte as a C
// string would. Where sscanf would overrun the digest's room or leave an
// out-of-range number undefined, the file is refused.
bool parseVersionFile(const QByteArray &content, int *version, QByteArray *digest)
{
    QByteArray text = content;
    text.removeIf([](char c) { return c == '\r' || c == '\n'; });
    const qsizetype nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);

    // A fromRawData content that had no line break is still not
    // NUL-terminated here, so every step checks the end first.
    const char *p = text.constData();
    const char *const end = p + text.size();
    while (p != end && isBlank(*p))
        ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    if (p == end || !isDigit(*p))
        return false;
    const qint64 limit = negative ? -qint64(INT_MIN) : qint64(INT_MAX);
    qint64 magnitude = 0;
    for (; p != end && isDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            return false;
    }
    while (p != end && isBlank(*p))
        ++p;
    const char *const start = p;
    while (p != end && !isBlank(*p))
        ++p;
    if (p == start || p - start > DigestRoom)
        return false;
    *version = int(negative ? -magnitude : magnitude);
    *digest = QByteArray(start, p - start);
    return true;
}
