#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>

// Where the command's output goes. On a terminal one live line is kept at
// the bottom and rewritten; every other line is printed above it. Without a
// terminal the output is plain lines, or with --json one JSON object per line.
// Messages for the user (errors, hints) go to standard error.
class KCliConsole
{
public:
    enum class Mode
    {
        Terminal,
        Plain,
        Json,
    };

    explicit KCliConsole(Mode mode, FILE* out = stdout, FILE* err = stderr);
    // Json when asked for, Terminal when standard output is one, else Plain.
    static Mode detect(bool json);

    Mode mode() const { return outputMode; }
    bool json() const { return outputMode == Mode::Json; }

    // A line of text, in every mode.
    void line(const QString& text);
    void event(const QJsonObject& object);
    // Text in Plain and Terminal mode, the object in Json mode.
    void report(const QString& text, const QJsonObject& object);
    // The live line; ignored unless on a terminal.
    void live(const QString& text);
    void endLive();
    // "wexora-sync: text" on standard error; in Json mode also an "error"
    // event on standard output, so a script reading only that sees it.
    void error(const QString& text);

private:
    void clearLive();

    Mode outputMode;
    FILE* out;
    FILE* err;
    bool liveShown = false;
};
