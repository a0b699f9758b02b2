#include "alerts/alarm_dispatch.h"

#include <ctime>
#include <thread>

#include "alerts/alarm_hold.h"
#include "alerts/launch_command.h"
#include "alerts/pager.h"
#include "alerts/smtp_mailer.h"
#include "config/node_table.h"
#include "config/settings_keys.h"
#include "platform/net_names.h"
#include "platform/sound.h"
#include "platform/window_port.h"

namespace sentrel {

namespace {

std::string AlertMailBody(const std::string& address) {
    return std::string("This is a message from Sentrel.\n") +
           "The following Server is NOT responding:\n" + address;
}

void Report(const AlarmOutcome& outcome, AlarmChannel channel, bool ok) {
    if (outcome) {
        outcome(channel, ok);
    }
}

}  // namespace

const char* AlarmChannelName(AlarmChannel channel) {
    switch (channel) {
        case AlarmChannel::Email:
            return "email";
        case AlarmChannel::Sound:
            return "sound";
        case AlarmChannel::Pager:
            return "pager";
        case AlarmChannel::Command:
            return "command";
        case AlarmChannel::Webhook:
            return "webhook";
    }
    return "unknown";
}

std::string SmtpServerText(const std::string& emailSmtp) {
    std::string server = emailSmtp.substr(0, kSmtpServerTextMax);
    if (IsAddressText(server)) {
        return server;
    }
    std::string address;
    const bool found = LookupHostIPv4(server, &address) || LookupHostIPv6(server, &address);
    std::this_thread::yield();
    return found ? address : server;
}

MailResult MailAlarm(const MonitorSettings& settings, const std::string& body,
                     const OperatorVoice& say) {
    return SendAlertMail(SmtpServerText(settings.Email_SMTP), settings.Email_From,
                         settings.Email_To, settings.Email_Subject, body,
                         MailTransportFromSettings(settings), say);
}

bool AlarmSweep(const MonitorSettings& settings, const AlarmOutcome& outcome,
                const AlarmRaised& raisedAt, const AlarmHeld& heldAt, const OperatorVoice& say) {
    bool passAlarm = false;
    const NodeHolds holds =
        DecideHolds(NodeTable::Instance().Snapshot(), settings, std::time(nullptr));
    for (int i = 0; i < kMaxNodes; ++i) {
        if (ScanAbort.load() != 0) {
            break;
        }
        const int threshold = ToInt(settings.Num_Fails);
        const int limit = ToInt(settings.Max_Alarms);
        bool endOfList = false;
        bool raised = false;
        bool alarmHeld = false;
        const NodeHold& hold = holds[static_cast<std::size_t>(i)];
        NodeSlot raisedSlot;
        // Decision and count in one step under the table's lock, so that a
        // status text rewritten meanwhile (STOP) is neither missed nor put back.
        NodeTable::Instance().Modify(i, [&](NodeSlot& slot) {
            if (slot.node.address.empty()) {
                endOfList = true;
                return;
            }
            NodeStatus& status = slot.status;
            status.held = hold.reason;
            status.heldBehind = hold.parent;
            raisedSlot = slot;
            if (!IsFailureStatus(status.statusText)) {
                return;
            }
            if (threshold <= 0 || status.failCount < threshold || status.alarmCount >= limit) {
                return;
            }
            if (hold.reason != HoldReason::None) {
                alarmHeld = true;  // the count stays: the alarm comes when the hold ends
                return;
            }
            ++status.alarmCount;
            raised = true;
            raisedSlot = slot;
        });
        if (endOfList) {
            break;
        }
        if (hold.reason != HoldReason::None && heldAt) {
            heldAt(i, raisedSlot, alarmHeld);
        }
        if (!raised) {
            continue;
        }
        passAlarm = true;
        if (raisedAt) {
            raisedAt(i, raisedSlot);
        }
        if (settings.Email_Flag) {
            WindowSetTitle(kTitleSendingEmail);
            const MailResult mailed =
                MailAlarm(settings, AlertMailBody(raisedSlot.node.address), say);
            Report(outcome, AlarmChannel::Email, mailed == MailSent);
        }
    }
    return passAlarm;
}

void PassAlerts(const MonitorSettings& settings, const AlarmOutcome& outcome) {
    if (settings.Audio_Flag) {
        WindowSetTitle(kTitleSoundingAlarm);
        if (!settings.Wave_File.empty()) {
            // No player: skipped, a failure. Held back by the operator's silence: sent.
            Report(outcome, AlarmChannel::Sound,
                   PlayAlarmSound(settings.Wave_File, settings.Loop_Flag));
        }
    }
    std::this_thread::yield();
    if (settings.Pager_Flag) {
        WindowSetTitle(kTitlePaging);
        const PageOutcome paged = SendPage(PageRequestFromSettings(settings));
        Report(outcome, AlarmChannel::Pager, paged == PageOutcome::Sent);
    }
    if (settings.Launch_Flag) {
        Report(outcome, AlarmChannel::Command, LaunchCommand(settings.Command_Line));
    }
}

}  // namespace sentrel
