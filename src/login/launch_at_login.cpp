#include "app/tovra_app_delegate.h"

namespace tovra {

void TovraAppDelegate::enableLaunchAtLoginIfPossible()
{
    // Only a login item that is not registered is registered here: one switched off, from the
    // menu or in the desktop's settings, stays off.
    if (platform_.loginService.status() == platform::LoginItemStatus::notRegistered) {
        platform_.loginService.registerService();
    }
    updateLaunchAtLoginState();
}

void TovraAppDelegate::toggleLaunchAtLogin()
{
    platform::LoginService& service = platform_.loginService;
    const bool succeeded = service.status() == platform::LoginItemStatus::enabled
                               ? service.unregisterService()
                               : service.registerService();
    if (!succeeded) {
        service.openSettingsPane();
    }
    updateLaunchAtLoginState();
}

void TovraAppDelegate::updateLaunchAtLoginState()
{
    if (launchAtLoginItem) {
        const bool enabled = platform_.loginService.status() == platform::LoginItemStatus::enabled;
        launchAtLoginItem->setState(enabled ? platform::ControlState::on : platform::ControlState::off);
    }
}

} // namespace tovra
