#include "platform/qt/qt_url_session.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace tovra::qt {

namespace {

using Clock = std::chrono::steady_clock;

// Bounds what Qt takes in ahead of our reads, so an oversized body is caught near the cap.
constexpr qint64 kReadBufferBytes = 64 * 1024;

Clock::time_point deadlineAfter(double seconds)
{
    // A QTimer interval is an int of milliseconds.
    constexpr double kLongestMilliseconds = INT_MAX;
    const double milliseconds =
        seconds > 0 ? std::min(std::ceil(seconds * 1000.0), kLongestMilliseconds) : 0.0;
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(milliseconds));
}

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Qt reports a complete answer with a 4xx or 5xx status as one of these errors; its body
// still counts. Every other error is the transport's.
bool isErrorOfHttpStatus(QNetworkReply::NetworkError error)
{
    const int code = error;
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
           (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError) ||
           error == QNetworkReply::ProtocolInvalidOperationError ||
           error == QNetworkReply::ProxyAuthenticationRequiredError;
}

// Qt can take a connection closed early for the end of the answer, whatever Content-Length
// said. Qt drops that header from answers it decompresses.
bool isCutShort(const QNetworkReply& reply, std::size_t received)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && length.toLongLong() != static_cast<qlonglong>(received);
}

bool answeredOverHttp(const QNetworkReply& reply)
{
    if (reply.error() == QNetworkReply::NoError) {
        return true;
    }
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() && status.toInt() >= 400 && isErrorOfHttpStatus(reply.error());
}

} // namespace

// Lives on the session's thread, and runs only there.
class QtUrlSession::Worker : public QObject {
public:
    explicit Worker(OwnedListener ownedListener) : ownedListener_(std::move(ownedListener)) {}

    void start(QUrl url, std::optional<int> server, Clock::time_point deadline,
               platform::DataCompletion completion)
    {
        QNetworkRequest request;
        std::optional<std::string> listener;
        if (server) {
            // Asked before anything is sent, so that nothing reaches a listener of another
            // process: not a byte of its answer is read. The server still sees its own name.
            listener = listenerOf(*server, url);
            if (!listener) {
                completion(std::nullopt);
                return;
            }
            request.setRawHeader("Host", url.authority().toUtf8());
            url.setHost(QString::fromStdString(*listener));
        }
        request.setUrl(url);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

        QNetworkReply* reply = manager().get(request);
        reply->setReadBufferSize(kReadBufferBytes);
        open_.emplace(reply, Open{{}, std::move(completion), server, std::move(listener), url});

        auto* timer = new QTimer(reply);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, reply] { complete(reply, std::nullopt); });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { readAvailable(reply); });
        connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
        timer->start(millisecondsUntil(deadline));
    }

    void shutDown()
    {
        for (auto& [reply, open] : open_) {
            disconnect(reply, nullptr, this, nullptr);
            reply->abort();
            delete reply;
        }
        // The completions go with the map, uncalled.
        open_.clear();
        delete manager_;
        manager_ = nullptr;
        QThread::currentThread()->quit();
    }

private:
    struct Open {
        std::string body;
        platform::DataCompletion completion;
        std::optional<int> server;
        std::optional<std::string> listener;
        QUrl url;
    };

    std::optional<std::string> listenerOf(int server, const QUrl& url) const
    {
        return ownedListener_ ? ownedListener_(server, url.port(80)) : std::nullopt;
    }

    QNetworkAccessManager& manager()
    {
        if (manager_ == nullptr) {
            manager_ = new QNetworkAccessManager;
            // A user's proxy settings must not capture requests to loopback.
            manager_->setProxy(QNetworkProxy::NoProxy);
        }
        return *manager_;
    }

    // Reads into the body, never more than one byte past the cap.
    void readAvailable(QNetworkReply* reply)
    {
        auto found = open_.find(reply);
        if (found == open_.end()) {
            return;
        }
        std::string& body = found->second.body;
        while (reply->bytesAvailable() > 0) {
            const qint64 room = static_cast<qint64>(kMaxBodyBytes + 1 - body.size());
            const std::size_t size = body.size();
            body.resize(size + static_cast<std::size_t>(std::min(room, reply->bytesAvailable())));
            const qint64 read = reply->read(body.data() + size, static_cast<qint64>(body.size() - size));
            body.resize(size + static_cast<std::size_t>(std::max<qint64>(read, 0)));
            if (body.size() > kMaxBodyBytes) {
                complete(reply, std::nullopt);
                return;
            }
            if (read <= 0) {
                return;
            }
        }
    }

    void finished(QNetworkReply* reply)
    {
        readAvailable(reply);
        auto found = open_.find(reply);
        if (found == open_.end()) {
            return;
        }
        const Open& open = found->second;
        // The answer counts only if the listener that gave it is still the server's.
        const bool fromServer = !open.server || listenerOf(*open.server, open.url) == open.listener;
        if (fromServer && answeredOverHttp(*reply) && !isCutShort(*reply, open.body.size())) {
            complete(reply, std::move(found->second.body));
        } else {
            complete(reply, std::nullopt);
        }
    }

    void complete(QNetworkReply* reply, std::optional<std::string> body)
    {
        auto found = open_.find(reply);
        if (found == open_.end()) {
            return;
        }
        platform::DataCompletion completion = std::move(found->second.completion);
        open_.erase(found);
        disconnect(reply, nullptr, this, nullptr);
        if (reply->isRunning()) {
            reply->abort();
        }
        // We may be inside one of the reply's own signals.
        reply->deleteLater();
        if (completion) {
            completion(std::move(body));
        }
    }

    OwnedListener ownedListener_;
    QNetworkAccessManager* manager_ = nullptr;
    std::unordered_map<QNetworkReply*, Open> open_;
};

QtUrlSession::QtUrlSession(OwnedListener ownedListener) : worker_(new Worker(std::move(ownedListener)))
{
    worker_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.setObjectName(QStringLiteral("URLSession"));
    thread_.start();
}

QtUrlSession::~QtUrlSession()
{
    // Behind every request posted so far, so that each one it aborts has started.
    QMetaObject::invokeMethod(
        worker_, [worker = worker_] { worker->shutDown(); }, Qt::QueuedConnection);
    thread_.wait();
}

void QtUrlSession::dataTask(const platform::URLRequest& request, platform::DataCompletion completion)
{
    const Clock::time_point deadline = deadlineAfter(request.timeoutInterval);
    QUrl url(QString::fromStdString(request.url));
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_, url = std::move(url), server = request.serverProcess, deadline,
         completion = std::move(completion)]() mutable {
            worker->start(url, server, deadline, std::move(completion));
        },
        Qt::QueuedConnection);
}

} // namespace tovra::qt
