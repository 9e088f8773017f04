#include "cli/kcliconsole.h"

#include <QJsonDocument>

#include <unistd.h>

KCliConsole::KCliConsole(Mode mode, FILE* out, FILE* err)
    : outputMode(mode)
    , out(out)
    , err(err)
{
}

KCliConsole::Mode KCliConsole::detect(bool json)
{
    if (json)
        return Mode::Json;
    return ::isatty(STDOUT_FILENO) ? Mode::Terminal : Mode::Plain;
}

void KCliConsole::line(const QString& text)
{
    clearLive();
    std::fputs(text.toUtf8().constData(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void KCliConsole::event(const QJsonObject& object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void KCliConsole::report(const QString& text, const QJsonObject& object)
{
    if (json())
        event(object);
    else
        line(text);
}

void KCliConsole::live(const QString& text)
{
    if (outputMode != Mode::Terminal)
        return;
    // Carriage return and erase-to-end: the line is redrawn in place.
    std::fprintf(out, "\r\033[K%s", text.toUtf8().constData());
    std::fflush(out);
    liveShown = true;
}

void KCliConsole::endLive()
{
    if (!liveShown)
        return;
    std::fputc('\n', out);
    std::fflush(out);
    liveShown = false;
}

void KCliConsole::clearLive()
{
    if (!liveShown)
        return;
    std::fputs("\r\033[K", out);
    liveShown = false;
}

void KCliConsole::error(const QString& text)
{
    clearLive();
    std::fprintf(err, "wexora-sync: %s\n", text.toUtf8().constData());
    std::fflush(err);
    if (json())
        event({{"event", "error"}, {"message", text}});
}
