// A minimal StatusNotifierItem host for end-to-end tests: owns org.kde.StatusNotifierWatcher, waits
// for an item to register, then prints the item (tooltip, most common opaque icon colour, status,
// menu path) and its com.canonical.dbusmenu layout as JSON lines on stdout.
//   sni_host [--wait-ms N] [--dump-after-ms N]... [--click LABEL]
// --wait-ms: how long to wait for an item to register. --dump-after-ms: read again N ms after the
// first read. --click: after the last read, send a "clicked" event to the entry with that label.
// Commands on stdin, one a line: "dump", "click LABEL", "quit". Exits 0 when the item leaves the
// bus or on "quit", 1 if the watcher name is taken, 2 if no item registered in time.
#include <QtCore>
#include <QtDBus>

#include <cstdio>

namespace {

const QString kWatcher = "org.kde.StatusNotifierWatcher", kWatcherPath = "/StatusNotifierWatcher";
const QString kMenuIface = "com.canonical.dbusmenu";

void emitLine(const QJsonObject& obj)
{
    const QByteArray line = QJsonDocument(obj).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

QDBusArgument dbusArg(const QVariant& v)
{
    return qvariant_cast<QDBusArgument>(v);
}

// a(iiay), ARGB32 in network byte order: the sizes, and the most common colour among the fully
// opaque pixels of all of them.
QJsonObject iconSummary(const QDBusArgument& arg)
{
    QHash<QString, int> counts;
    QJsonArray sizes;
    QJsonValue colour;
    int most = 0;
    arg.beginArray();
    while (!arg.atEnd()) {
        int w = 0, h = 0;
        QByteArray argb;
        arg.beginStructure();
        arg >> w >> h >> argb;
        arg.endStructure();
        sizes.append(QString("%1x%2").arg(w).arg(h));
        for (qsizetype i = 0; i + 4 <= qMin<qsizetype>(argb.size(), qsizetype(w) * h * 4); i += 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(argb.constData()) + i;
            const QString rgb = QString::asprintf("#%02X%02X%02X", p[1], p[2], p[3]);
            if (p[0] == 255 && ++counts[rgb] > most) {
                most = counts[rgb], colour = rgb;
            }
        }
    }
    arg.endArray();
    return {{"sizes", sizes}, {"colour", colour}, {"opaquePixels", most}};
}

// (ia{sv}av): one dbusmenu node with its children, missing properties at their defaults.
QJsonObject menuNode(const QDBusArgument& arg)
{
    static const QVariantMap defaults{{"label", ""},        {"enabled", true},   {"visible", true},
                                      {"type", "standard"}, {"toggle-type", ""}, {"toggle-state", -1}};
    int id = 0;
    QVariantMap props;
    QList<QDBusVariant> kids;
    arg.beginStructure();
    arg >> id >> props >> kids;
    arg.endStructure();
    QJsonArray children, shortcut;
    for (const QDBusVariant& kid : std::as_const(kids)) {
        children.append(menuNode(dbusArg(kid.variant())));
    }
    // aas: the keys of each chord
    for (const QStringList& chord : qdbus_cast<QList<QStringList>>(props.value("shortcut"))) {
        shortcut.append(QJsonArray::fromStringList(chord));
    }
    QJsonObject node{{"id", id}, {"shortcut", shortcut}};
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        node.insert(it.key(), QJsonValue::fromVariant(props.value(it.key(), it.value())));
    }
    if (!children.isEmpty()) {
        node.insert("children", children);
    }
    return node;
}

class Host : public QDBusVirtualObject {
public:
    QDBusConnection bus = QDBusConnection::sessionBus();
    QString service, itemPath = "/StatusNotifierItem", menuPath;
    QJsonArray entries;
    int dumps = 0;
    QList<QPair<int, QString>> script; // commands from the command line, at ms after the first read
    QDBusServiceWatcher itemWatcher{{}, bus, QDBusServiceWatcher::WatchForUnregistration};

    QString introspect(const QString&) const override
    {
        return "<interface name=\"org.kde.StatusNotifierWatcher\">"
               "<method name=\"RegisterStatusNotifierItem\"><arg type=\"s\" direction=\"in\"/></method>"
               "<method name=\"RegisterStatusNotifierHost\"><arg type=\"s\" direction=\"in\"/></method>"
               "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
               "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
               "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
               "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
               "<signal name=\"StatusNotifierItemUnregistered\"><arg type=\"s\"/></signal>"
               "<signal name=\"StatusNotifierHostRegistered\"/></interface>";
    }

    bool handleMessage(const QDBusMessage& msg, const QDBusConnection&) override
    {
        const QString member = msg.member();
        const QVariantList args = msg.arguments();
        const QVariantMap props{{"RegisteredStatusNotifierItems",
                                 service.isEmpty() ? QStringList() : QStringList(service + itemPath)},
                                {"IsStatusNotifierHostRegistered", true},
                                {"ProtocolVersion", 0}};
        QVariantList out;
        if (member == "Introspect") {
            out << "<node>" + introspect({}) + "</node>";
        } else if (member == "Get" && args.size() == 2) {
            out << QVariant::fromValue(QDBusVariant(props.value(args.at(1).toString())));
        } else if (member == "GetAll") {
            out << props;
        } else if (member == "RegisterStatusNotifierItem" && args.size() == 1) {
            const bool first = service.isEmpty();
            const QString arg = args.at(0).toString(); // a service name, or an object path
            service = arg.startsWith('/') ? msg.service() : arg;
            itemPath = arg.startsWith('/') ? arg : itemPath;
            emitLine({{"kind", "registered"}, {"service", service}, {"path", itemPath}});
            bus.send(QDBusMessage::createSignal(kWatcherPath, kWatcher, "StatusNotifierItemRegistered")
                     << service);
            itemWatcher.setWatchedServices({service});
            if (first) {
                QTimer::singleShot(0, [this] {
                    dump();
                    for (const auto& [ms, line] : std::as_const(script)) {
                        QTimer::singleShot(ms, [this, line] { command(line); });
                    }
                });
            }
        } else if (member != "RegisterStatusNotifierHost") {
            return false;
        }
        bus.send(msg.createReply(out));
        return true;
    }

    // Blocking without an event loop, so that reads never interleave.
    QDBusMessage call(const QString& path, const QString& iface, const QString& method,
                      const QVariantList& args)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, iface, method);
        m.setArguments(args);
        return bus.call(m, QDBus::Block, 5000);
    }

    static QString failure(const QDBusMessage& r) { return r.errorName() + ": " + r.errorMessage(); }

    // The item's properties, or the error reading them.
    QJsonObject item()
    {
        const QDBusMessage all =
            call(itemPath, "org.freedesktop.DBus.Properties", "GetAll", {"org.kde.StatusNotifierItem"});
        if (all.type() != QDBusMessage::ReplyMessage || all.arguments().isEmpty()) {
            return {{"error", failure(all)}};
        }
        const QVariantMap props = qdbus_cast<QVariantMap>(all.arguments().at(0));
        QJsonObject out;
        for (const QString key : {"Id", "Title", "Category", "Status", "IconName"}) {
            out.insert(key, props.value(key).toString());
        }
        menuPath = qvariant_cast<QDBusObjectPath>(props.value("Menu")).path();
        out.insert("menu", menuPath);
        if (props.contains("IconPixmap")) {
            out.insert("icon", iconSummary(dbusArg(props.value("IconPixmap"))));
        }
        if (props.contains("ToolTip")) { // (sa(iiay)ss): icon name, icon, title, text
            const QDBusArgument tip = dbusArg(props.value("ToolTip"));
            QString iconName, title, text;
            tip.beginStructure();
            tip >> iconName;
            iconSummary(tip);
            tip >> title >> text;
            tip.endStructure();
            out.insert("toolTip", QJsonObject{{"title", title}, {"text", text}});
        }
        return out;
    }

    // One snapshot: the item is read on both sides of the menu, again until it held still, so that
    // an update between the reads cannot pair an old icon with a new menu.
    void dump()
    {
        QJsonObject out = item(), before, menu;
        for (int tries = 0; tries < 5 && out != before; ++tries) {
            before = out;
            if (!menuPath.isEmpty() && menuPath != "/") {
                call(menuPath, kMenuIface, "AboutToShow", {0}); // as a host does before showing the menu
                const QDBusMessage layout = call(menuPath, kMenuIface, "GetLayout", {0, -1, QStringList()});
                const bool ok = layout.type() == QDBusMessage::ReplyMessage && layout.arguments().size() == 2;
                entries = ok ? menuNode(dbusArg(layout.arguments().at(1)))["children"].toArray() : entries;
                menu = ok ? QJsonObject{{"entries", entries}} : QJsonObject{{"menuError", failure(layout)}};
            }
            out = item();
        }
        out.insert("stable", out == before); // false: the item kept changing while it was read
        for (auto it = menu.constBegin(); it != menu.constEnd(); ++it) {
            out.insert(it.key(), it.value());
        }
        out.insert("kind", "dump");
        out.insert("n", ++dumps);
        emitLine(out);
    }

    void click(const QString& label)
    {
        for (const QJsonValue& e : std::as_const(entries)) {
            if (e["label"].toString() == label) {
                const QVariant data = QVariant::fromValue(QDBusVariant(QString()));
                const auto now = static_cast<uint>(QDateTime::currentSecsSinceEpoch());
                const QDBusMessage r =
                    call(menuPath, kMenuIface, "Event", {e["id"].toInt(), "clicked", data, now});
                const QString error = r.type() == QDBusMessage::ErrorMessage ? failure(r) : QString();
                return emitLine({{"kind", "clicked"}, {"id", e["id"]}, {"label", label}, {"error", error}});
            }
        }
        emitLine({{"kind", "clicked"}, {"label", label}, {"error", "no entry with this label"}});
    }

    void command(const QString& line)
    {
        if (line == "dump") {
            service.isEmpty() ? emitLine({{"kind", "dump"}, {"error", "no item registered"}}) : dump();
        } else if (line.startsWith("click ")) {
            click(line.mid(6));
        } else if (line == "quit") {
            qApp->exit(0);
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Host host;
    const QStringList args = app.arguments();
    int waitMs = 10000, last = 0;
    QString click;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--wait-ms") {
            waitMs = args[i + 1].toInt();
        } else if (args[i] == "--dump-after-ms") {
            host.script.append({args[i + 1].toInt(), "dump"});
            last = qMax(last, args[i + 1].toInt());
        } else if (args[i] == "--click") {
            click = args[i + 1];
        }
    }
    if (!click.isEmpty()) {
        host.script.append({last, "click " + click});
    }
    if (!host.bus.registerVirtualObject(kWatcherPath, &host) || !host.bus.registerService(kWatcher)) {
        emitLine({{"kind", "error"}, {"error", "cannot own " + kWatcher + " (taken, or no session bus)"}});
        return 1;
    }
    QObject::connect(&host.itemWatcher, &QDBusServiceWatcher::serviceUnregistered, [&](const QString& name) {
        emitLine({{"kind", "gone"}, {"service", name}});
        host.bus.send(QDBusMessage::createSignal(kWatcherPath, kWatcher, "StatusNotifierItemUnregistered")
                      << name + host.itemPath);
        app.exit(0);
    });
    QTimer::singleShot(waitMs, [&] {
        if (host.service.isEmpty()) {
            emitLine({{"kind", "error"}, {"error", "no item registered"}});
            app.exit(2);
        }
    });
    QFile in; // unbuffered: a line read is a line taken from the descriptor, none left in a buffer
    in.open(fileno(stdin), QIODevice::ReadOnly | QIODevice::Unbuffered);
    QSocketNotifier input(fileno(stdin), QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        const QByteArray line = in.readLine();
        line.isEmpty() ? input.setEnabled(false) : host.command(QString::fromUtf8(line).trimmed());
    });
    emitLine({{"kind", "ready"}, {"watcher", kWatcher}, {"bus", host.bus.baseService()}});
    return app.exec();
}
