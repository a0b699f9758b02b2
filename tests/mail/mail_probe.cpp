// Sends one alarm e-mail with the body given, as the alarm pass does, from the
// tarn.ini under $XDG_CONFIG_HOME; why it failed goes to standard error in the
// window program's voice. The exit status is the MailResult.
#include "alerts/alarm_dispatch.h"
#include "platform/operator_voice.h"

int main(int argc, char** argv) {
    sentrel::LoadSettings();
    return sentrel::MailAlarm(sentrel::CurrentSettings(), argc > 1 ? argv[1] : "",
                              sentrel::StderrVoice("sentrel"));
}
