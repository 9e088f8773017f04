#pragma once

#include "transfer/kdownloadinfo.h"

#include <QList>
#include <QObject>

#include <memory>
#include <vector>

class KDownloadTransfer;
class KFileSyncDatabase;
class QNetworkAccessManager;

// Several downloads at once on the owner's thread: the download thread
// hands a job over while fewer than size() run, and the pool gives it to a
// transfer that is free. The first transfer speaks for the pool: the others'
// signals come out of it, so whoever listens to it hears every download.
class KDownloadPool : public QObject
{
    Q_OBJECT
public:
    KDownloadPool(QNetworkAccessManager* manager, KFileSyncDatabase* store, int size, QObject* parent = nullptr);
    ~KDownloadPool() override;

    KDownloadTransfer* first() const { return transfers.front().get(); }
    int size() const { return int(transfers.size()); }
    int running() const;
    // Cuts every running download short; their partial files stay.
    void abort();

public slots:
    void download(const KDownloadInfo& job);

private:
    static const int ConnectionsPerManager = 6;

    QNetworkAccessManager* managerFor(int index, QNetworkAccessManager* shared);
    void speakThroughFirst(KDownloadTransfer* transfer);
    void startWaiting();

    std::vector<std::unique_ptr<QNetworkAccessManager>> managers; // declared first: they outlive the transfers
    std::vector<std::unique_ptr<KDownloadTransfer>> transfers;
    QList<KDownloadInfo> waiting;
};
