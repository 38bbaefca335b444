// Called from any thread; the D-Bus call itself is made on the Qt GUI thread.
#include "ui/Notifier.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMetaObject>
#include <QStringList>
#include <QVariantMap>

namespace tavlo {

void notifyPackWritten(const std::string& name, const std::string& summary) {
  auto* app = QCoreApplication::instance();
  if (!app) return;
  // Model-made texts can be long; notification bubbles are small.
  const QString title = QStringLiteral("Pack '%1' written").arg(QString::fromStdString(name).left(120));
  const QString body = QString::fromStdString(summary).left(400).toHtmlEscaped();  // the body may be read as markup
  QMetaObject::invokeMethod(
      app,
      [title, body] {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return;
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                           QStringLiteral("/org/freedesktop/Notifications"),
                                                           QStringLiteral("org.freedesktop.Notifications"),
                                                           QStringLiteral("Notify"));
        call << QStringLiteral("Tavlo") << 0u << QStringLiteral("tavlo-companion") << title << body << QStringList()
             << QVariantMap() << -1;
        bus.send(call);  // no reply awaited: without a notification service the error is dropped
      },
      Qt::QueuedConnection);
}

}  // namespace tavlo
