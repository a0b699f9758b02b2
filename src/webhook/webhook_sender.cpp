#include "webhook/webhook_sender.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "alerts/mail_transport.h"
#include "config/version.h"
#include "platform/curl_tls.h"

namespace sentrel::webhook {

namespace {

using Clock = std::chrono::steady_clock;

std::size_t ReadAnswer(char*, std::size_t size, std::size_t count, void* read) {
    auto& total = *static_cast<std::size_t*>(read);
    total += size * count;
    return total > kAnswerLimit ? 0 : size * count;  // 0 ends the transfer
}

// The one line of a failed notice. The token is never in it: the reasons come
// from the token file's check, libcurl and the status code; it is cut out all
// the same should a reason ever carry it.
void SayFailure(const OperatorVoice& say, const std::string& origin, const std::string& what,
                const std::string& why, std::string_view token = {}) {
    std::string line = "webhook to " + origin + " not sent (" + what + "): " + why;
    for (std::size_t at; !token.empty() && (at = line.find(token)) != std::string::npos;) {
        line.replace(at, token.size(), "(token)");
    }
    say(line);
}

std::string What(const NodeAlarmEvent& event, bool up) {
    return "node " + std::to_string(event.index) + (up ? " up" : " down");
}

}  // namespace

void WebhookSender::Outcome(bool ok) {
    try {
        outcomes_.AlarmDone(AlarmChannel::Webhook, ok);
    } catch (...) {
        // A listener's fault stays with that listener; the worker goes on.
    }
}

WebhookSender::WebhookSender(OperatorVoice say, PassListener& outcomes)
    : say_(std::move(say)), outcomes_(outcomes) {
    CurlStartOnce();
    worker_ = std::thread(&WebhookSender::Work, this);
}

WebhookSender::~WebhookSender() {
    Finish(kRequestLimit);
}

std::string WebhookSender::Follow(const MonitorSettings& settings) {
    std::string refusal;
    auto config = std::make_shared<const Config>(ConfigFromSettings(settings, &refusal));
    std::lock_guard lock(mutex_);
    if (!config_ || config->url != config_->url || config->form != config_->form) {
        firing_.clear();  // they lapse where they were posted
    }
    config_ = std::move(config);
    return refusal;
}

void WebhookSender::Finish(std::chrono::milliseconds limit) {
    {
        std::lock_guard lock(mutex_);
        if (closing_) {
            return;
        }
        closing_ = true;
        deadline_ = Clock::now() + limit;
    }
    wake_.notify_all();
    worker_.join();
}

void WebhookSender::ProbeDone(const ProbeEvent& event) {
    std::lock_guard lock(mutex_);
    Probed& probed = probed_[event.index];
    probed.intervalMs = probed.lastMs > 0 ? event.timeMs - probed.lastMs : 0;
    probed.lastMs = event.timeMs;
    const auto firing = firing_.find(event.index);
    if (firing == firing_.end()) {
        return;
    }
    if (firing->second.event.address != event.address) {
        firing_.erase(firing);  // another node holds the slot since a reload
    } else if (event.result <= 0) {
        NodeAlarmEvent& alert = firing->second.event;
        alert.timeMs = event.timeMs;
        alert.statusText = event.statusText;
        alert.failCount = event.failCount;
        firing->second.renew = true;
        wake_.notify_one();
    }
}

std::int64_t WebhookSender::EndsAtMs(const NodeAlarmEvent& event) const {
    const auto probed = probed_.find(event.index);
    const std::int64_t interval = probed == probed_.end() ? 0 : probed->second.intervalMs;
    const std::int64_t least = std::chrono::milliseconds(kAlertHoldMin).count();
    return event.timeMs + 4 * std::max(least, interval);
}

void WebhookSender::Queue(const NodeAlarmEvent& event, bool up) {
    std::unique_lock lock(mutex_);
    if (!config_ || config_->url.empty() || closing_) {
        return;
    }
    const bool alertmanager = config_->form == Form::Alertmanager;
    if (up) {
        firing_.erase(event.index);  // never renewed after its resolve
    } else if (alertmanager) {
        if (firing_.empty()) {
            renewAt_ = Clock::now() + kAlertRenewal;
        }
        firing_[event.index] = {event, false};
    }
    if (queue_.size() >= kQueueLimit) {
        const std::string origin = config_->origin;
        lock.unlock();
        SayFailure(say_, origin, What(event, up), "too many notices waiting");
        Outcome(false);
        return;
    }
    queue_.push_back({config_, event, up, alertmanager && !up ? EndsAtMs(event) : 0});
    lock.unlock();
    wake_.notify_one();
}

std::optional<WebhookSender::Renewal> WebhookSender::TakeRenewal() {
    if (Clock::now() < renewAt_ ||
        !std::any_of(firing_.begin(), firing_.end(), [](auto& f) { return f.second.renew; })) {
        return std::nullopt;
    }
    renewAt_ = Clock::now() + kAlertRenewal;
    Renewal renewal{config_, "[", 0};
    for (auto& [index, firing] : firing_) {
        if (std::exchange(firing.renew, false)) {
            renewal.body += (renewal.count++ == 0 ? "" : ",") +
                            AlertmanagerAlert(firing.event, false, EndsAtMs(firing.event),
                                              renewal.config->site);
        }
    }
    renewal.body += "]";
    return renewal;
}

void WebhookSender::Work() {
    for (;;) {
        Notice notice;
        std::optional<Renewal> renewal;
        bool late = false;
        {
            std::unique_lock lock(mutex_);
            // A notice first; a renewal only when none waits, so it never holds one up.
            while (!closing_ && queue_.empty() && !(renewal = TakeRenewal())) {
                if (std::any_of(firing_.begin(), firing_.end(),
                                [](auto& f) { return f.second.renew; })) {
                    wake_.wait_until(lock, renewAt_);
                } else {
                    wake_.wait(lock);
                }
            }
            if (queue_.empty() && !renewal) {
                return;
            }
            if (!renewal) {
                notice = std::move(queue_.front());
                queue_.pop_front();
                late = closing_ && Clock::now() >= deadline_;
            }
        }
        if (renewal) {  // not an alarm: not counted, a failure only says its line
            Post(*renewal->config, {{"Content-Type: application/json"}, renewal->body},
                 "renewal of " + std::to_string(renewal->count) + " firing alert" +
                     (renewal->count == 1 ? "" : "s"));
            continue;
        }
        const std::string what = What(notice.event, notice.up);
        if (late) {
            SayFailure(say_, notice.config->origin, what, "the program ended first");
        }
        Outcome(!late && Post(*notice.config,
                              BuildRequest(notice.config->form, notice.event, notice.up,
                                           notice.endsAtMs, notice.config->site),
                              what));
    }
}

bool WebhookSender::Post(const Config& config, const Request& request, const std::string& what) {
    SecretText token;
    std::string why;
    if (!config.tokenFile.empty() &&
        !ReadPasswordFile(config.tokenFile, &token, &why, "token file")) {
        SayFailure(say_, config.origin, what, why);
        return false;
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr,
                                                                        curl_slist_free_all);
    bool built = curl != nullptr;
    for (const std::string& header : request.headers) {
        built = built && (headers.reset(curl_slist_append(headers.release(), header.c_str())),
                          headers != nullptr);
    }
    built = built && (headers.reset(curl_slist_append(headers.release(), "Expect:")), headers);
    if (built && !token.View().empty()) {
        std::string line = TokenHeader(config.form, token.View());
        headers.reset(curl_slist_append(headers.release(), line.c_str()));
        std::fill(line.begin(), line.end(), '\0');
        built = headers != nullptr;
    }
    if (!built) {
        SayFailure(say_, config.origin, what, "out of memory");
        return false;
    }
    CURL* h = curl.get();
    char error[CURL_ERROR_SIZE] = "";
    std::size_t answered = 0;
    const auto progress = [](void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
        auto* sender = static_cast<WebhookSender*>(self);
        std::lock_guard lock(sender->mutex_);
        return sender->closing_ && Clock::now() >= sender->deadline_ ? 1 : 0;
    };
    curl_easy_setopt(h, CURLOPT_URL, config.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(kRequestLimit.count()));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    CurlVerifyPeer(h);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "sentrel/" SENTREL_VERSION);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, ReadAnswer);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answered);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, static_cast<curl_xferinfo_callback>(progress));
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    const CURLcode code = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // An answer longer than the limit is cut off there, its status already read.
    const bool cut = code == CURLE_WRITE_ERROR && answered > kAnswerLimit;
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        why = "the program ended first";
    } else if (code != CURLE_OK && !cut) {
        why = error[0] != '\0' ? error : curl_easy_strerror(code);
    } else if (status < 200 || status > 299) {
        why = "the server answered " + std::to_string(status) +
              (status >= 300 && status < 400 ? " (redirects are not followed)" : "");
    } else {
        return true;
    }
    SayFailure(say_, config.origin, what, why, token.View());
    return false;
}

}  // namespace sentrel::webhook
