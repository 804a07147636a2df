// A desktop's services on a session bus, for end-to-end tests: a StatusNotifierWatcher (with its
// host) and a notification service. It prints what it sees as JSON lines:
//   {"kind":"ready"} {"kind":"registered","service":…}
//   {"kind":"notify","app":…,"summary":…,"body":…}
//   {"kind":"item","tip":…,"colour":"#RRGGBB","entries":["label [Control+S] (disabled) (on)", …]}
// Commands on stdin: "read" (prints an item line), "click <label>". Usage: dbus_host [watcher]
// [notifications]; it exits when stdin closes.
#include <QtCore>
#include <QtDBus>

#include <cstdio>

namespace {

void emitLine(const QJsonObject& object)
{
    std::puts(QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QDBusArgument argument(const QVariant& value)
{
    return qvariant_cast<QDBusArgument>(value);
}

// The most common colour among the opaque pixels of the images of an a(iiay) (ARGB32, network
// byte order).
QString iconColour(const QDBusArgument& images)
{
    QMap<QString, int> counts;
    images.beginArray();
    while (!images.atEnd()) {
        int width, height;
        QByteArray argb;
        images.beginStructure();
        images >> width >> height >> argb;
        images.endStructure();
        for (qsizetype i = 0; i + 3 < argb.size(); i += 4) {
            const auto* pixel = reinterpret_cast<const uchar*>(argb.constData() + i);
            counts[QString::asprintf("#%02X%02X%02X", pixel[1], pixel[2], pixel[3])] += pixel[0] == 255;
        }
    }
    images.endArray();
    const auto most = std::max_element(counts.cbegin(), counts.cend());
    return most == counts.cend() ? QString() : most.key();
}

class Host : public QDBusVirtualObject {
public:
    QDBusConnection bus = QDBusConnection::sessionBus();
    QString item, menu;
    QMap<QString, int> ids; // entry label -> dbusmenu id

    // What Qt's tray asks before it registers.
    QString introspect(const QString&) const override
    {
        return "<interface name=\"org.kde.StatusNotifierWatcher\">"
               "<method name=\"RegisterStatusNotifierItem\"><arg type=\"s\" direction=\"in\"/></method>"
               "<method name=\"RegisterStatusNotifierHost\"><arg type=\"s\" direction=\"in\"/></method>"
               "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
               "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/></interface>";
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        const QVariantList in = message.arguments();
        QVariantList out;
        if (message.member() == "Introspect") {
            out << "<node>" + introspect({}) + "</node>";
        } else if (message.member() == "RegisterStatusNotifierItem") {
            item = message.service();
            emitLine({{"kind", "registered"}, {"service", item}});
        } else if (message.member() == "Get" && in.value(1) == "IsStatusNotifierHostRegistered") {
            out << QVariant::fromValue(QDBusVariant(true));
        } else if (message.member() == "Get" && in.value(1) == "ProtocolVersion") {
            out << QVariant::fromValue(QDBusVariant(0));
        } else if (message.member() == "Notify") {
            emitLine({{"kind", "notify"},
                      {"app", in.value(0).toString()},
                      {"summary", in.value(3).toString()},
                      {"body", in.value(4).toString()}});
            out << 1U;
        } else if (message.member() != "RegisterStatusNotifierHost") {
            return false;
        }
        bus.send(message.createReply(out));
        return true;
    }

    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& in)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(item, path, interface, method);
        message.setArguments(in);
        return bus.call(message, QDBus::Block, 5000);
    }

    void read()
    {
        const QVariantMap properties =
            qdbus_cast<QVariantMap>(call("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "GetAll",
                                         {"org.kde.StatusNotifierItem"})
                                        .arguments()
                                        .value(0));
        menu = qvariant_cast<QDBusObjectPath>(properties.value("Menu")).path();
        QString iconName, title, text;
        const QDBusArgument tip = argument(properties.value("ToolTip")); // (sa(iiay)ss)
        tip.beginStructure();
        tip >> iconName;
        iconColour(tip);
        tip >> title >> text;
        tip.endStructure();
        call(menu, "com.canonical.dbusmenu", "AboutToShow", {0});
        const QDBusArgument layout = argument(
            call(menu, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()}).arguments().value(1));
        int id;
        QVariantMap root;
        QList<QDBusVariant> children;
        layout.beginStructure();
        layout >> id >> root >> children;
        layout.endStructure();
        QJsonArray entries;
        for (const QDBusVariant& child : children) {
            QVariantMap entry;
            const QDBusArgument node = argument(child.variant());
            node.beginStructure();
            node >> id >> entry;
            node.endStructure();
            QString text = entry.value("type") == "separator" ? "---" : entry.value("label").toString();
            ids[text] = id;
            for (const QStringList& chord : qdbus_cast<QList<QStringList>>(entry.value("shortcut"))) {
                text += " [" + chord.join('+') + "]";
            }
            text += entry.value("enabled", true).toBool() ? "" : " (disabled)";
            text += entry.contains("toggle-state") ? entry.value("toggle-state").toInt() ? " (on)" : " (off)"
                                                   : "";
            entries.append(text);
        }
        emitLine({{"kind", "item"},
                  {"tip", title + text},
                  {"colour", iconColour(argument(properties.value("IconPixmap")))},
                  {"entries", entries}});
    }

    void click(const QString& label)
    {
        call(menu, "com.canonical.dbusmenu", "Event",
             {ids.value(label), "clicked", QVariant::fromValue(QDBusVariant(QString())), 0U});
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    Host host;
    for (const auto& [option, name, path] :
         {std::tuple{"watcher", "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"},
          {"notifications", "org.freedesktop.Notifications", "/org/freedesktop/Notifications"}}) {
        if (application.arguments().contains(option) &&
            !(host.bus.registerVirtualObject(path, &host) && host.bus.registerService(name))) {
            return 1;
        }
    }
    QFile in; // unbuffered: each line read is taken from the descriptor, none waits in a buffer
    in.open(fileno(stdin), QIODevice::ReadOnly | QIODevice::Unbuffered);
    QSocketNotifier input(fileno(stdin), QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        const QString command = QString::fromUtf8(in.readLine()).trimmed();
        if (command.isEmpty()) {
            application.quit();
        } else {
            command == "read" ? host.read() : host.click(command.mid(6));
        }
    });
    emitLine({{"kind", "ready"}});
    return application.exec();
}
