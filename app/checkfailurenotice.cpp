#include "checkfailurenotice.h"

#include <QCoreApplication>
#include <QMessageBox>

void showCheckFailureNotice()
{
    QMessageBox::information(
        nullptr, QStringLiteral("FWアップデートツール"),
        QStringLiteral("インターネットに接続されているかどうかご確認ください。 "), QMessageBox::Ok);
    QCoreApplication::quit();
}
