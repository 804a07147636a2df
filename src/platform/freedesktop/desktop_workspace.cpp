#include "platform/freedesktop/desktop_workspace.h"

#include "platform/diagnostics.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include <system_error>
#include <utility>

namespace tovra::freedesktop {

namespace {

// The desktop's own opener, with none of its output on ours: a message about a link shows the
// link, and a phone link is private.
bool openWithDesktop(const QUrl& address)
{
    QProcess opener;
    opener.setProgram(QStringLiteral("xdg-open"));
    opener.setArguments({address.toString(QUrl::FullyEncoded)});
    opener.setStandardInputFile(QProcess::nullDevice());
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.setStandardErrorFile(QProcess::nullDevice());
    if (!opener.startDetached()) {
        platform::warn("cannot open a page or a folder: xdg-open does not start");
        return false;
    }
    return true;
}

void openFolders(const QList<QUrl>& folders)
{
    for (const QUrl& folder : folders) {
        openWithDesktop(folder);
    }
}

} // namespace

DesktopWorkspace::DesktopWorkspace(SessionBus& bus) : bus_(bus) {}

bool DesktopWorkspace::openURL(const std::string& url)
{
    const QUrl address(QString::fromUtf8(url), QUrl::StrictMode);
    if (!address.isValid() || address.isRelative()) {
        return false;
    }
    return openWithDesktop(address);
}

void DesktopWorkspace::activateFileViewerSelecting(const std::vector<std::filesystem::path>& files)
{
    QStringList uris;
    QList<QUrl> folders;
    for (const std::filesystem::path& file : files) {
        std::error_code error;
        std::filesystem::path absolute = std::filesystem::absolute(file, error).lexically_normal();
        if (file.empty() || error) {
            continue;
        }
        if (!absolute.has_filename()) {
            absolute = absolute.parent_path();
        }
        uris.append(QUrl::fromLocalFile(QFile::decodeName(absolute.c_str())).toString(QUrl::FullyEncoded));
        const QUrl folder = QUrl::fromLocalFile(QFile::decodeName(absolute.parent_path().c_str()));
        if (!folders.contains(folder)) {
            folders.append(folder);
        }
    }
    if (uris.isEmpty()) {
        return;
    }
    const std::optional<QDBusConnection> bus = bus_.connection();
    if (!bus) {
        openFolders(folders);
        return;
    }

    QDBusMessage showItems = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    showItems << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(showItems), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folders = std::move(folders)](QDBusPendingCallWatcher* finished) {
                         if (finished->isError()) {
                             openFolders(folders);
                         }
                         finished->deleteLater();
                     });
}

} // namespace tovra::freedesktop
