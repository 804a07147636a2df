#include "app/status_texts.h"
#include "app/tovra_app_delegate.h"

namespace tovra {

void TovraAppDelegate::buildMenu()
{
    platform::StatusBar& statusBar = platform_.statusBar;

    statusItem = statusBar.statusItem();
    if (platform::StatusBarButton* button = statusItem->button()) {
        button->setImage(statusBar.systemSymbolImage(texts::kIconSymbol, texts::kIconDescription));
        button->setToolTip(texts::kProductName);
    }

    const std::shared_ptr<platform::Menu> menu = statusBar.makeMenu();
    const auto entry = [&](const char* title, void (TovraAppDelegate::*action)(), const char* keyEquivalent) {
        return statusBar.makeMenuItem(title, whileAlive(action), keyEquivalent);
    };

    statusText = texts::kStartingTovra;
    statusMenuItem = statusBar.makeMenuItem(statusText, {}, "");
    statusMenuItem->setEnabled(false);
    menu->addItem(statusMenuItem);

    menu->addSeparator();

    menu->addItem(entry(texts::kSetUpPhone, &TovraAppDelegate::openSetup, "s"));
    menu->addItem(entry(texts::kCopyPrivatePhoneLink, &TovraAppDelegate::copyPrivatePhoneLink, ""));
    menu->addItem(entry(platform_.words.openController.c_str(), &TovraAppDelegate::openController, ""));

    menu->addSeparator();

    launchAtLoginItem = entry(texts::kStartAtLogin, &TovraAppDelegate::toggleLaunchAtLogin, "");
    menu->addItem(launchAtLoginItem);
    updateLaunchAtLoginState();

    menu->addItem(entry(texts::kRestartBridge, &TovraAppDelegate::restartBridge, ""));
    menu->addItem(entry(texts::kRevealLog, &TovraAppDelegate::revealLog, ""));

    menu->addSeparator();

    const platform::InfoValue version = platform_.bundle.infoValue("CFBundleShortVersionString");
    const std::string* versionText = std::get_if<std::string>(&version);
    const std::shared_ptr<platform::MenuItem> versionItem = statusBar.makeMenuItem(
        texts::kVersionPrefix + (versionText ? *versionText : std::string(texts::kVersionWhenUnknown)), {},
        "");
    versionItem->setEnabled(false);
    menu->addItem(versionItem);

    menu->addItem(entry(texts::kQuit, &TovraAppDelegate::quitTovra, "q"));

    statusItem->setMenu(menu);
    statusItem->setWindowTitle(texts::kApplicationName);
    statusItem->setWindowShownHandler(whileAlive(&TovraAppDelegate::windowDidShow));
    showWindowContent();
}

} // namespace tovra
