#pragma once

#include <QChar>
#include <QString>

// Texts placed between quotes in the scripts sent to the pages. escape()
// returns the inside of a JavaScript string literal that evaluates to exactly
// the given text when wrapped in the given quote character.
class KJsString
{
public:
    static QString escape(const QString& text, QChar quote = QLatin1Char('\''));
    // The whole literal, quotes included.
    static QString quoted(const QString& text, QChar quote = QLatin1Char('\''));
};
