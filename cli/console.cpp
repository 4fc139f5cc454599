#include "console.h"

#include "platformconsole.h"

#include <QJsonDocument>

Console::Console(std::FILE *out, std::FILE *err, bool json)
    : out(out), err(err), json(json), errRedraws(PlatformConsole::redrawsInPlace(err))
{ }

void Console::result(const QString &line)
{
    if (!json)
        write(out, line + QLatin1Char('\n'));
}

void Console::event(const QJsonObject &object)
{
    if (json)
        write(out, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + '\n');
}

void Console::note(const QString &line)
{
    const QStringList kept = block;
    eraseBlock();
    write(err, line + QLatin1Char('\n'));
    drawBlock(kept);
}

void Console::ask(const QString &question)
{
    write(err, question);
}

void Console::drawBlock(const QStringList &lines)
{
    if (!drawsInPlace())
        return;
    eraseBlock();
    QString text;
    for (const QString &line : lines)
        text += line + QLatin1Char('\n');
    write(err, text);
    block = lines;
}

void Console::endBlock()
{
    block.clear();
}

// Up over the block and clear it to the end of the screen.
void Console::eraseBlock()
{
    if (block.isEmpty())
        return;
    write(err, QStringLiteral("\x1b[%1A\r\x1b[J").arg(block.size()));
    block.clear();
}

void Console::write(std::FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}
