#include "setuprequest.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace
{

// An empty field asks for nothing; anything else must be a dotted address.
bool read_address(const QString &text, in_addr *address, const char *field, QStringList *problems)
{
    if (text.isEmpty())
        return false;
    if (inet_pton(AF_INET, text.toLatin1().constData(), address) == 1)
        return true;
    problems->append(QString("the %1 field is not an IPv4 address (\"%2\")").arg(field, text));
    return false;
}

QString system_error(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// How an exchange ended before the device's answer mattered, or after it
// refused; the answer words themselves differ between the two exchanges.
QString describe_common(const ExchangeReport &report, const char *const answers[4])
{
    switch (report.stage) {
    case STAGE_SOCKET:
        return "could not open a socket: " + system_error(report.error);
    case STAGE_NO_REPLY:
        return "no reply within the time-out";
    case STAGE_REFUSED:
        if (report.result >= RESULT_FORBIDDEN && report.result <= RESULT_FAILED)
            return answers[report.result];
        return QString("an answer without a valid result (%1)").arg(report.result);
    default:
        return QString();
    }
}

struct Progress {
    const SetupRequest *request;
    const std::function<void(QString)> *say;
    QElapsedTimer sinceLast;
};

// Called after every piece of the image; says so at most every 100 ms.
void report_progress(void *context, uint64_t sent, uint64_t total)
{
    auto *progress = static_cast<Progress *>(context);
    if (sent != total && progress->sinceLast.isValid() && progress->sinceLast.elapsed() < 100)
        return;
    progress->sinceLast.start();
    (*progress->say)(QString("Install on %1: %2 of %3 bytes sent")
                         .arg(progress->request->macText)
                         .arg(sent)
                         .arg(total));
}

} // namespace

QString read_setup_fields(const SetupFields &fields, SetupRequest *request)
{
    QStringList problems;
    const bool ip = read_address(fields.ip, &request->ipaddr, "IP", &problems);
    const bool netmask = read_address(fields.netmask, &request->netmask, "netmask", &problems);
    request->dhcp = fields.dhcp;
    if (problems.isEmpty()) {
        request->setup = (ip && netmask) || fields.dhcp;
        if (ip != netmask && !fields.dhcp)
            problems.append("setup needs both a new IP and a new netmask");
    }
    if (!request->setup) {
        request->ipaddr = in_addr{};
        request->netmask = in_addr{};
    }

    if (!fields.file.isEmpty()) {
        const QFileInfo image(fields.file);
        request->install = image.isFile() && image.isReadable();
        if (request->install)
            request->image = QFile::encodeName(fields.file);
        else
            problems.append(
                QString("the file field names no readable file (\"%1\")").arg(fields.file));
    }
    if (problems.isEmpty())
        return QString();
    return QString("%1: not sent: %2").arg(request->macText, problems.join("; "));
}

QString describe_setup(const ExchangeReport &report)
{
    static const char *const answers[4] = {nullptr, "setup forbidden", "success", "setup failed"};
    if (report.stage == STAGE_DONE)
        return "success";
    return describe_common(report, answers);
}

QString describe_install(const ExchangeReport &report)
{
    static const char *const answers[4] = {nullptr, "install forbidden", "",
                                           "the device could not open its install socket"};
    switch (report.stage) {
    case STAGE_DONE:
        return QString("image sent (%1 bytes)").arg(report.sent);
    case STAGE_CONNECT:
        if (report.error == ECONNREFUSED)
            return "connection refused";
        return "could not connect: " + system_error(report.error);
    case STAGE_IMAGE:
        return "could not read the image: " + system_error(report.error);
    case STAGE_UPLOAD: {
        QString words =
            QString("upload failed after %1 of %2 bytes").arg(report.sent).arg(report.image_size);
        return report.error == 0 ? words : words + ": " + system_error(report.error);
    }
    default:
        return describe_common(report, answers);
    }
}

void run_setup_request(const SetupRequest &request, const std::function<void(QString)> &say)
{
    if (request.setup) {
        ExchangeReport report{};
        do_setup_report(&request.local, &request.mac, &request.ipaddr, &request.netmask,
                        request.dhcp ? 1 : 0, nullptr, &report);
        say(QString("Setup of %1: %2").arg(request.macText, describe_setup(report)));
    }
    if (request.install) {
        Progress progress{&request, &say, {}};
        ExchangeOptions options{};
        options.progress = report_progress;
        options.context = &progress;
        ExchangeReport report{};
        do_install_report(&request.local, &request.mac, request.image.constData(), &options,
                          &report);
        say(QString("Install on %1: %2").arg(request.macText, describe_install(report)));
    }
}
