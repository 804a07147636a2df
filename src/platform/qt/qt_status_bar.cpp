#include "platform/qt/qt_status_bar.h"

#include "platform/qt/qt_menu.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

// The symbols are compiled into this static library; without a reference from code the
// linker would drop them.
static void initSymbolResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace tovra::qt {

namespace {

// Panel sizes in use (16 to 64 px) and their doubles for scaled displays.
constexpr int kIconSizes[] = {16, 22, 24, 32, 44, 48, 64, 96, 128};

QImage renderTinted(QSvgRenderer& renderer, int size, const QColor& tint, bool outlined)
{
    QImage shape(size, size, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);

    QSizeF box = renderer.viewBoxF().size();
    if (box.isEmpty()) {
        box = QSizeF(size, size);
    }
    box.scale(size, size, Qt::KeepAspectRatio);
    const QRectF target(QPointF((size - box.width()) / 2, (size - box.height()) / 2), box);
    {
        QPainter painter(&shape);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, target);
    }

    // The outline: the shape grown by a pixel at 16 px (more at larger sizes), in the outline's colour;
    // grown along the rows, then along the columns.
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (outlined) {
        const int grow = std::max(1, (size + 15) / 16);
        std::vector<int> rows(static_cast<std::size_t>(size) * size);
        for (int y = 0; y < size; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(shape.constScanLine(y));
            for (int x = 0; x < size; ++x) {
                int alpha = 0;
                for (int from = std::max(0, x - grow); from <= std::min(size - 1, x + grow); ++from) {
                    alpha = std::max(alpha, qAlpha(line[from]));
                }
                rows[static_cast<std::size_t>(y) * size + x] = alpha;
            }
        }
        for (int y = 0; y < size; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < size; ++x) {
                int alpha = 0;
                for (int from = std::max(0, y - grow); from <= std::min(size - 1, y + grow); ++from) {
                    alpha = std::max(alpha, rows[static_cast<std::size_t>(from) * size + x]);
                }
                line[x] = qPremultiply(qRgba(kOutline.red(), kOutline.green(), kOutline.blue(), alpha));
            }
        }
    }
    QPainter painter(&shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(shape.rect(), tint);
    painter.end();
    QPainter(&image).drawImage(0, 0, shape);
    return image;
}

} // namespace

QtImage::QtImage(QByteArray svg, QByteArray restingSvg)
    : svg_(std::move(svg)), restingSvg_(std::move(restingSvg))
{
}

QIcon QtImage::tinted(const QColor& tint, bool active, bool outlined) const
{
    const bool resting = !active && !restingSvg_.isEmpty();
    const auto [entry, added] = rendered_.try_emplace(std::make_tuple(tint.rgba(), resting, outlined));
    if (!added) {
        return entry->second;
    }
    QSvgRenderer renderer(resting ? restingSvg_ : svg_);
    if (renderer.isValid()) {
        for (const int size : kIconSizes) {
            entry->second.addPixmap(QPixmap::fromImage(renderTinted(renderer, size, tint, outlined)));
        }
    }
    return entry->second;
}

QColor tintColor(platform::TintColor color)
{
    switch (color) {
    case platform::TintColor::systemGreen:
        return {0x34, 0xC7, 0x59};
    case platform::TintColor::secondaryLabel:
        break;
    }
    return {0xAE, 0xAE, 0xB2};
}

QIcon applicationIcon()
{
    initSymbolResources();
    return QIcon(QStringLiteral(":/icons/application.svg"));
}

void QtStatusBarButton::setImage(std::shared_ptr<platform::Image> image)
{
    image_ = std::dynamic_pointer_cast<QtImage>(std::move(image));
    updateIcon();
}

void QtStatusBarButton::setToolTip(const std::string& toolTip)
{
    item_.setToolTip(QString::fromUtf8(toolTip));
}

void QtStatusBarButton::setContentTintColor(platform::TintColor color)
{
    if (color == tint_) {
        return;
    }
    tint_ = color;
    updateIcon();
}

void QtStatusBarButton::updateIcon()
{
    const bool active = tint_ == platform::TintColor::systemGreen;
    item_.setIcon(image_ ? image_->tinted(tintColor(tint_), active) : QIcon(),
                  image_ ? image_->tinted(tintColor(tint_), active, false) : QIcon());
}

QtStatusItem::QtStatusItem(TrayHosts& hosts, QrEncoder encoder) : hosts_(hosts), encoder_(std::move(encoder))
{
    QObject::connect(&hosts_, &TrayHosts::changed, &context_, [this] { followHosts(); });
    QObject::connect(&hosts_, &TrayHosts::settledNow, &context_, [this] {
        if (std::exchange(showWhenSettled_, false)) {
            showWindow();
        }
    });
}

QtStatusItem::~QtStatusItem() = default;

// The status line is set on every health answer, once a second. Unchanged values are not
// passed on: each change is signalled to the tray host.
void QtStatusItem::setToolTip(const QString& toolTip)
{
    if (toolTip == toolTip_) {
        return;
    }
    toolTip_ = toolTip;
    if (trayIcon_) {
        trayIcon_->setToolTip(toolTip_);
    }
    if (dockedIcon_) {
        dockedIcon_->setToolTip(toolTip_);
    }
}

void QtStatusItem::setIcon(const QIcon& icon, const QIcon& windowIcon)
{
    icon_ = icon;
    windowIcon_ = windowIcon;
    if (trayIcon_) {
        trayIcon_->setIcon(icon_);
    }
    if (dockedIcon_) {
        dockedIcon_->setIcon(icon_);
    }
    if (window_) {
        window_->setIcon(windowIcon_);
    }
    followHosts();
}

void QtStatusItem::setMenu(std::shared_ptr<platform::Menu> menu)
{
    const auto qtMenu = std::dynamic_pointer_cast<QtMenu>(menu);
    menu_ = qtMenu ? &qtMenu->menu() : nullptr;
    if (menu && std::find(menus_.begin(), menus_.end(), menu) == menus_.end()) {
        menus_.push_back(std::move(menu));
    }
    if (trayIcon_ && trayIcon_->contextMenu() != menu_) {
        trayIcon_->setContextMenu(menu_);
    }
}

void QtStatusItem::setWindowTitle(const std::string& title)
{
    windowTitle_ = QString::fromStdString(title);
    if (window_) {
        window_->setWindowTitle(windowTitle_);
    }
}

void QtStatusItem::setWindowContent(const platform::WindowContent& content)
{
    windowContent_ = content;
    if (window_) {
        window_->setContent(windowContent_);
    }
}

void QtStatusItem::setWindowShownHandler(std::function<void()> shown)
{
    windowShown_ = std::move(shown);
}

void QtStatusItem::showWindow()
{
    // A window's first showing makes Qt's accessibility bridge, which reaches for the desktop's
    // services on this thread: so not before they have answered or been given up on.
    if (!hosts_.settled()) {
        showWhenSettled_ = true;
        return;
    }
    if (!window_ && menu_) {
        window_ = std::make_unique<StatusWindow>(*menu_, windowTitle_, encoder_);
        window_->setIcon(windowIcon_);
        window_->setContent(windowContent_);
    }
    if (window_) {
        window_->bringUp();
        if (const std::function<void()> shown = windowShown_) {
            shown();
        }
    }
}

bool QtStatusItem::isVisible()
{
    return (trayIcon_ && hosts_.showsTrayIcon()) || dockedIcon_;
}

// Shown with its first icon: a tray icon without one is an empty slot. A host of Qt's tray icon is
// preferred; a tray of the other kind serves while there is none.
void QtStatusItem::followHosts()
{
    if (icon_.isNull()) {
        return;
    }
    if (hosts_.showsTrayIcon() && !trayIcon_) {
        trayIcon_ = std::make_unique<QSystemTrayIcon>(icon_);
        QObject::connect(trayIcon_.get(), &QSystemTrayIcon::activated, trayIcon_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             // The panel opens the menu itself on the other button.
                             if (reason == QSystemTrayIcon::Trigger) {
                                 showWindow();
                             }
                         });
        trayIcon_->setToolTip(toolTip_);
        trayIcon_->setContextMenu(menu_);
        trayIcon_->setVisible(true);
    }
    const std::uint64_t tray = hosts_.showsTrayIcon() ? 0 : hosts_.otherTray();
    if (dockedIcon_ && dockedIn_ != tray) {
        dockedIcon_.reset();
    }
    if (tray != 0 && !dockedIcon_) {
        dockedIcon_ = hosts_.dockIn(tray);
        dockedIn_ = tray;
        if (dockedIcon_) {
            dockedIcon_->setIcon(icon_);
            dockedIcon_->setToolTip(toolTip_);
            dockedIcon_->onClick([this](QPoint at) { popUpMenu(at); });
        }
    }
}

// A click on the docked icon opens the menu, as on a menu bar. On Wayland an unparented popup cannot be
// placed, so there the menu is left to the tray host.
void QtStatusItem::popUpMenu(QPoint at)
{
    if (!menu_ || menu_->isVisible() ||
        QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        return;
    }
    menu_->popup(at);
}

QtStatusBar::QtStatusBar(TrayHosts& hosts, QrEncoder encoder) : hosts_(hosts), encoder_(std::move(encoder))
{
    static const bool resourcesReady = (initSymbolResources(), true);
    (void)resourcesReady;
}

std::shared_ptr<platform::StatusItem> QtStatusBar::statusItem()
{
    return std::make_shared<QtStatusItem>(hosts_, encoder_);
}

// Tray icons carry no accessible name of their own; the tooltip is what assistive tools read.
std::shared_ptr<platform::Image>
QtStatusBar::systemSymbolImage(const std::string& name, const std::string& /*accessibilityDescription*/)
{
    if (name.find('/') != std::string::npos) { // a symbol is a file of ours, never a path
        return nullptr;
    }
    QFile file(QStringLiteral(":/symbols/") + QString::fromUtf8(name) + QStringLiteral(".svg"));
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    QByteArray svg = file.readAll();
    if (!QSvgRenderer(svg).isValid()) {
        return nullptr;
    }
    QFile resting(QStringLiteral(":/symbols/") + QString::fromUtf8(name) + QStringLiteral(".rest.svg"));
    return std::make_shared<QtImage>(std::move(svg),
                                     resting.open(QIODevice::ReadOnly) ? resting.readAll() : QByteArray());
}

std::shared_ptr<platform::Menu> QtStatusBar::makeMenu()
{
    return std::make_shared<QtMenu>();
}

std::shared_ptr<platform::MenuItem> QtStatusBar::makeMenuItem(const std::string& title,
                                                              std::function<void()> action,
                                                              const std::string& keyEquivalent)
{
    return std::make_shared<QtMenuItem>(title, std::move(action), keyEquivalent);
}

} // namespace tovra::qt
