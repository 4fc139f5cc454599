#ifndef CONSOLE_H
#define CONSOLE_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>

// Where the command line writes: results on the standard output (with
// --json nothing but one JSON object per line there), notes and progress on
// the standard error. On a terminal that follows escape sequences the
// progress is a block of lines that is redrawn in place; a note is written
// above it.
class Console
{
public:
    Console(std::FILE *out, std::FILE *err, bool json);

    bool isJson() const { return json; }
    // Whether the progress may be redrawn in place.
    bool drawsInPlace() const { return !json && errRedraws; }

    // A result line; not written with --json.
    void result(const QString &line);
    // A JSON event; written with --json only.
    void event(const QJsonObject &object);
    // A line for the person watching: a warning, a refusal, progress.
    void note(const QString &line);
    // A question, answered on the same line.
    void ask(const QString &question);
    // Replaces the progress block drawn last (on a terminal only).
    void drawBlock(const QStringList &lines);
    // Leaves the progress block as it stands; later output goes below it.
    void endBlock();

private:
    void write(std::FILE *stream, const QString &text);
    void eraseBlock();

    std::FILE *out;
    std::FILE *err;
    bool json;
    bool errRedraws;
    QStringList block;
};

#endif // CONSOLE_H
