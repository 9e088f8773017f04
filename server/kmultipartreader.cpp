#include "server/kmultipartreader.h"

#include <QList>

#include <cstring>

namespace
{
constexpr int MaxHeaderBytes = 16 * 1024;
constexpr int MaxPreambleBytes = 64 * 1024;

// Position of `needle` in `haystack` from `from` on, or -1.
int find(const QByteArray& haystack, const QByteArray& needle, int from = 0)
{
    if (from >= haystack.size())
        return -1;
    const void* hit = memmem(haystack.constData() + from, size_t(haystack.size() - from), needle.constData(),
                             size_t(needle.size()));
    return hit ? int(static_cast<const char*>(hit) - haystack.constData()) : -1;
}

// The value of a parameter such as name="file" in a header line.
QByteArray parameter(const QByteArray& line, const QByteArray& key)
{
    const QList<QByteArray> pieces = line.split(';');
    for (const QByteArray& piece : pieces) {
        const QByteArray trimmed = piece.trimmed();
        if (trimmed.toLower().startsWith(key + '=')) {
            QByteArray value = trimmed.mid(key.size() + 1).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            return value;
        }
    }
    return QByteArray();
}
}

KMultipartReader::KMultipartReader(const QByteArray& boundary)
    : dashBoundary("--" + boundary)
    , delimiter("\r\n--" + boundary)
{
    pending.reserve(64 * 1024); // kept across remove(), so feeding allocates nothing
}

QByteArray KMultipartReader::boundaryOf(const QString& contentType)
{
    const QByteArray type = contentType.toLatin1();
    if (!type.trimmed().toLower().startsWith("multipart/form-data"))
        return QByteArray();
    const QByteArray boundary = parameter(type, "boundary");
    return boundary.size() <= 200 ? boundary : QByteArray();
}

bool KMultipartReader::feed(const char* data, size_t size, const Sink& sink)
{
    if (state == State::Broken || dashBoundary.size() <= 2)
        return false;
    if (state == State::Done)
        return true; // the epilogue is ignored
    pending.append(data, int(size));
    while (step(sink)) {
    }
    return state != State::Broken;
}

// One move of the state machine; false when it needs more bytes (or broke).
bool KMultipartReader::step(const Sink& sink)
{
    switch (state) {
    case State::Preamble:
        return readPreamble();
    case State::AfterDelimiter:
        return readAfterDelimiter();
    case State::Headers:
        return readHeaders();
    case State::Body:
        return readBody(sink);
    case State::Done:
    case State::Broken:
        break;
    }
    return false;
}

bool KMultipartReader::readPreamble()
{
    // The first delimiter may open the body directly or follow a preamble.
    if (pending.startsWith(dashBoundary)) {
        pending.remove(0, dashBoundary.size());
        state = State::AfterDelimiter;
        return true;
    }
    const int at = find(pending, delimiter);
    if (at >= 0) {
        pending.remove(0, at + delimiter.size());
        state = State::AfterDelimiter;
        return true;
    }
    if (pending.size() > MaxPreambleBytes)
        state = State::Broken;
    return false;
}

bool KMultipartReader::readAfterDelimiter()
{
    if (pending.size() < 2)
        return false;
    if (pending.startsWith("--")) {
        state = State::Done;
        pending.clear();
        return false;
    }
    const int lineEnd = pending.indexOf("\r\n");
    if (lineEnd < 0) {
        if (pending.size() > 256)
            state = State::Broken;
        return false;
    }
    // Only transport padding (blanks) may sit between delimiter and CRLF.
    if (!pending.left(lineEnd).trimmed().isEmpty()) {
        state = State::Broken;
        return false;
    }
    pending.remove(0, lineEnd + 2);
    state = State::Headers;
    return true;
}

bool KMultipartReader::readHeaders()
{
    if (pending.startsWith("\r\n")) { // a field without headers
        pending.remove(0, 2);
        inChosen = false;
        state = State::Body;
        return true;
    }
    const int end = pending.indexOf("\r\n\r\n");
    if (end < 0) {
        if (pending.size() > MaxHeaderBytes)
            state = State::Broken;
        return false;
    }
    inChosen = !chosenSeen && isChosenField(pending.left(end));
    chosenSeen = chosenSeen || inChosen;
    pending.remove(0, end + 4);
    state = State::Body;
    return true;
}

bool KMultipartReader::isChosenField(const QByteArray& headers) const
{
    const QList<QByteArray> lines = headers.split('\n');
    for (const QByteArray& line : lines) {
        if (!line.trimmed().toLower().startsWith("content-disposition:"))
            continue;
        return parameter(line, "name") == "file" || !parameter(line, "filename").isEmpty();
    }
    return false;
}

bool KMultipartReader::readBody(const Sink& sink)
{
    const int at = find(pending, delimiter);
    // Without a delimiter, all but a possible beginning of one can go.
    const int safe = at >= 0 ? at : qMax(0, pending.size() - (delimiter.size() - 1));
    if (safe > 0 && inChosen && !sink(pending.constData(), size_t(safe))) {
        state = State::Broken;
        return false;
    }
    if (at < 0) {
        pending.remove(0, safe);
        return false;
    }
    pending.remove(0, at + delimiter.size());
    state = State::AfterDelimiter;
    return true;
}
