#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Streams the bytes of one field out of a multipart/form-data body: the
// first field named "file" or carrying a file name. The body may arrive in
// pieces of any size; the field's bytes are handed on as they come, without
// holding the body, and the other fields are skipped.
class KMultipartReader
{
public:
    using Sink = std::function<bool(const char* data, size_t size)>;

    explicit KMultipartReader(const QByteArray& boundary);

    // False when the body is malformed or the sink refused bytes.
    bool feed(const char* data, size_t size, const Sink& sink);
    // True once the closing delimiter has been read.
    bool complete() const { return state == State::Done; }
    bool foundField() const { return chosenSeen; }

    // The boundary of a "multipart/form-data; boundary=..." header value,
    // quotes removed; empty when there is none.
    static QByteArray boundaryOf(const QString& contentType);

private:
    enum class State { Preamble, AfterDelimiter, Headers, Body, Done, Broken };

    bool step(const Sink& sink);
    bool readPreamble();
    bool readAfterDelimiter();
    bool readHeaders();
    bool readBody(const Sink& sink);
    bool isChosenField(const QByteArray& headers) const;

    QByteArray dashBoundary; // "--" + boundary
    QByteArray delimiter;    // "\r\n--" + boundary
    QByteArray pending;
    State state = State::Preamble;
    bool inChosen = false;
    bool chosenSeen = false;
};
