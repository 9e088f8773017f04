#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>

#include <optional>

// One planned misbehaviour, set by a test through the admin endpoint.
struct KFaultRule
{
    int id = 0;
    QString target;        // an operation name, "klogin", "part", "download" or "*"
    QString action;        // drop, dropanswer, html, empty, delay, envelope, status, full200
    qint64 afterBytes = 0; // drop: bytes of the part or download that still pass
    int delayMs = 0;       // waited before the action (and the only effect of "delay")
    int times = 1;         // matching requests it hits; 0 means all of them
    int skip = 0;          // matching requests let through before it hits
    int partNumber = 0;    // parts only; 0 matches every part
    int status = 500;      // html and status
    QJsonObject envelope;  // envelope: the JSON answered instead

    // "dropanswer": the request is carried out, then its connection is cut
    // instead of answering, as when an answer is lost on the way.
    bool losesAnswer() const { return action == QLatin1String("dropanswer"); }

    static std::optional<KFaultRule> fromJson(const QJsonObject& json, QString* error);
    QJsonObject toJson() const;
};

// The faults waiting to happen. Every request asks take() once; a rule that
// hits is used up after `times` hits.
class KFaultInjector
{
public:
    int add(KFaultRule rule);
    std::optional<KFaultRule> take(const QString& target, int partNumber = 0);
    void clear();
    QJsonArray list() const;

private:
    mutable QMutex mutex;
    QList<KFaultRule> rules;
    int nextId = 1;
};
