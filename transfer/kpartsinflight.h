#pragma once

#include "transfer/kuploadpartsender.h"

#include <QQueue>

class QNetworkReply;

// Parts of one upload sent but not yet answered, oldest first. Waiting on the
// oldest lets the later ones go on over their own connections, so a part's
// answer round trip and the next part's ticket no longer leave the link idle.
// Whatever is still in flight when the object goes is aborted: the server
// keeps what arrived and a resume sends the rest.
class KPartsInFlight
{
public:
    struct Part
    {
        QNetworkReply* reply = nullptr;
        int number = 0;
        qint64 offset = 0;
        QString token;
        bool isPut = false;
    };

    explicit KPartsInFlight(int most);
    ~KPartsInFlight();
    KPartsInFlight(const KPartsInFlight&) = delete;
    KPartsInFlight& operator=(const KPartsInFlight&) = delete;

    bool full() const { return parts.size() >= most; }
    bool isEmpty() const { return parts.isEmpty(); }
    void add(const Part& part) { parts.enqueue(part); }
    // Waits for the oldest part's answer and hands it over with its result.
    Part takeOldest(KUploadPartSender& sender, KPartResult& result);

private:
    int most;
    QQueue<Part> parts;
};
