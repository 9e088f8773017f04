#include "server/kfaultinjector.h"

#include <QMutexLocker>
#include <QStringList>

namespace
{
const QStringList& knownActions()
{
    static const QStringList actions = {QStringLiteral("drop"), QStringLiteral("dropanswer"),
                                        QStringLiteral("html"), QStringLiteral("empty"),
                                        QStringLiteral("delay"), QStringLiteral("envelope"),
                                        QStringLiteral("status"), QStringLiteral("full200")};
    return actions;
}

bool matches(const KFaultRule& rule, const QString& target, int partNumber)
{
    if (rule.target != target && rule.target != QLatin1String("*"))
        return false;
    return rule.partNumber == 0 || rule.partNumber == partNumber;
}
}

std::optional<KFaultRule> KFaultRule::fromJson(const QJsonObject& json, QString* error)
{
    KFaultRule rule;
    rule.target = json.value(QStringLiteral("target")).toString();
    rule.action = json.value(QStringLiteral("action")).toString();
    rule.afterBytes = qint64(json.value(QStringLiteral("afterBytes")).toDouble(0));
    rule.delayMs = json.value(QStringLiteral("delayMs")).toInt(0);
    rule.times = json.value(QStringLiteral("times")).toInt(1);
    rule.skip = json.value(QStringLiteral("skip")).toInt(0);
    rule.partNumber = json.value(QStringLiteral("partNumber")).toInt(0);
    rule.status = json.value(QStringLiteral("status")).toInt(500);
    rule.envelope = json.value(QStringLiteral("envelope")).toObject();
    if (rule.target.isEmpty() || !knownActions().contains(rule.action)) {
        *error = QStringLiteral("a fault needs a target and one of the actions ") + knownActions().join(QStringLiteral(", "));
        return std::nullopt;
    }
    if (rule.afterBytes < 0 || rule.delayMs < 0 || rule.delayMs > 600000 || rule.times < 0 || rule.skip < 0
        || rule.status < 100 || rule.status > 599) {
        *error = QStringLiteral("a fault field is out of range");
        return std::nullopt;
    }
    return rule;
}

QJsonObject KFaultRule::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), id},           {QStringLiteral("target"), target},
                       {QStringLiteral("action"), action},   {QStringLiteral("afterBytes"), double(afterBytes)},
                       {QStringLiteral("delayMs"), delayMs}, {QStringLiteral("times"), times},
                       {QStringLiteral("skip"), skip},       {QStringLiteral("partNumber"), partNumber},
                       {QStringLiteral("status"), status},   {QStringLiteral("envelope"), envelope}};
}

int KFaultInjector::add(KFaultRule rule)
{
    QMutexLocker lock(&mutex);
    rule.id = nextId++;
    rules.append(rule);
    return rule.id;
}

std::optional<KFaultRule> KFaultInjector::take(const QString& target, int partNumber)
{
    QMutexLocker lock(&mutex);
    for (int i = 0; i < rules.size(); ++i) {
        KFaultRule& rule = rules[i];
        if (!matches(rule, target, partNumber))
            continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        const KFaultRule hit = rule;
        if (rule.times > 0 && --rule.times == 0)
            rules.removeAt(i);
        return hit;
    }
    return std::nullopt;
}

void KFaultInjector::clear()
{
    QMutexLocker lock(&mutex);
    rules.clear();
}

QJsonArray KFaultInjector::list() const
{
    QMutexLocker lock(&mutex);
    QJsonArray all;
    for (const KFaultRule& rule : rules)
        all.append(rule.toJson());
    return all;
}
