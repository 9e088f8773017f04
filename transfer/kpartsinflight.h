#pragma once

#include "transfer/kuploadpartsender.h"

#include <QQueue>

class QNetworkReply;

// Parts of one upload sent but not yet answered, oldest first. Waiting on the
// oldest lets the later ones go on over their own connections, so a part's
// answer round trip and the next part's ticket no longer leave the link idle.
// Whatever is still in flight when the object goes is aborted: the server
// keeps what arrived and a resume sends the rest. Every upload may have one
// part on its way; parts beyond that take one of a few slots shared by all
// uploads, which bounds the memory the part bodies hold.
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
        bool extra = false; // holds a shared slot
    };
    static const int SharedSlots = 12;

    explicit KPartsInFlight(int most);
    ~KPartsInFlight();
    KPartsInFlight(const KPartsInFlight&) = delete;
    KPartsInFlight& operator=(const KPartsInFlight&) = delete;

    // True when another part may go now (taking a shared slot for it).
    bool reserve();
    bool isEmpty() const { return parts.isEmpty(); }
    // Adds the part reserve() made room for.
    void add(Part part);
    // Waits for the oldest part's answer and hands it over with its result.
    Part takeOldest(KUploadPartSender& sender, KPartResult& result);

private:
    void release(const Part& part);

    int most;
    bool reserved = false;
    QQueue<Part> parts;
};
