// Which failing nodes raise alarms, and the alerts they raise.
#pragma once

#include <functional>

#include "alerts/smtp_mailer.h"
#include "config/node_table.h"
#include "config/settings.h"

namespace sentrel {

// Webhook is no part of the alarm rules: its listener (src/webhook) reports it.
enum class AlarmChannel { Email, Sound, Pager, Command, Webhook };
// "email", "sound", "pager", "command", "webhook"
const char* AlarmChannelName(AlarmChannel channel);

// Told of every alarm sent (or not) on a channel, on the scan thread; the pass
// hands it on to its listeners.
using AlarmOutcome = std::function<void(AlarmChannel channel, bool ok)>;
// Told of each node that raises an alarm, with the node as it stands (its
// alarmCount already counts this alarm), before that alarm's e-mail goes out.
using AlarmRaised = std::function<void(int index, const NodeSlot& slot)>;
// Told of each node whose alarms the pass holds (alerts/alarm_hold.h), with the
// node as it stands and whether an alarm was due and held back.
using AlarmHeld = std::function<void(int index, const NodeSlot& slot, bool alarmHeld)>;

inline constexpr const char* kTitleSendingEmail = "Sentrel - sending Email...";
inline constexpr const char* kTitleSoundingAlarm = "Sentrel - sounding alarm...";
inline constexpr const char* kTitlePaging = "Sentrel - paging...";

// Walks the node table after the probe sweep, once every result of the pass is
// in: decides which nodes are held (each node's `held`), raises the alarms due
// of the others (alarmCount is raised only here) and sends one e-mail per
// alarming node when Email_Flag is set; why a mail was not sent goes to `say`.
// Returns the pass alarm flag.
bool AlarmSweep(const MonitorSettings& settings, const AlarmOutcome& outcome = {},
                const AlarmRaised& raised = {}, const AlarmHeld& held = {},
                const OperatorVoice& say = {});

// Once per pass with an alarm and no abort: sound, page, command.
void PassAlerts(const MonitorSettings& settings, const AlarmOutcome& outcome = {});

// The SMTP server text from Email_SMTP (cut to 99): text taken as an address
// (an IPv6 literal, or digit first) unchanged; otherwise a lookup's first IPv4
// address, else its first IPv6 one; a failed lookup passes the name on.
std::string SmtpServerText(const std::string& emailSmtp);

// One alarm e-mail with the given body, as the settings ask for it: server,
// addresses, subject, and the port, TLS and login of the transport keys.
MailResult MailAlarm(const MonitorSettings& settings, const std::string& body,
                     const OperatorVoice& say = {});

}  // namespace sentrel
