#include "ktesthostwindow.h"

#include <QtTest>

KTestHostWindow::KTestHostWindow(const QSize& size, QWidget* parent)
    : QWidget(parent)
{
    resize(size);
}

QStringList KTestHostWindow::receivedOps() const
{
    QStringList names;
    for (const KPageOp& entry : ops)
        names << entry.op;
    return names;
}

int KTestHostWindow::count(const QString& op) const
{
    return receivedOps().count(op);
}

QString KTestHostWindow::lastParam(const QString& op) const
{
    for (auto it = ops.crbegin(); it != ops.crend(); ++it) {
        if (it->op == op)
            return it->param;
    }
    return QString();
}

bool KTestHostWindow::waitForOp(const QString& op, int atLeast, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return count(op) >= atLeast; }, timeoutMs);
}

void KTestHostWindow::OnReceiveMessageFromJS(QString op, QString param)
{
    ops.append({op, param});
    if (onOp)
        onOp(*this, op, param);
}
