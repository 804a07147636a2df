#pragma once

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/control_channel.h"
#include "platform/file_manager.h"
#include "platform/login_service.h"
#include "platform/main_queue.h"
#include "platform/network.h"
#include "platform/notifications.h"
#include "platform/pasteboard.h"
#include "platform/process_info.h"
#include "platform/status_bar.h"
#include "platform/task.h"
#include "platform/url_session.h"
#include "platform/user_defaults.h"
#include "platform/words.h"
#include "platform/workspace.h"

namespace tovra::platform {

// Everything outside the program that the core reaches. The services outlive whoever holds
// this.
struct Platform {
    Application& application;
    MainQueue& mainQueue;
    Clock& clock;
    FileManager& fileManager;
    TaskLauncher& taskLauncher;
    Bundle& bundle;
    ProcessInfo& processInfo;
    StatusBar& statusBar;
    Alerts& alerts;
    Workspace& workspace;
    Pasteboard& pasteboard;
    UserDefaults& userDefaults;
    URLSession& urlSession;
    LoginService& loginService;
    Notifications& notifications;
    Network& network;
    ControlChannel& controlChannel;
    Words words;
};

} // namespace tovra::platform
