// SPDX-License-Identifier: GPL-3.0-or-later
#include "setuprequest.h"
#include "checks.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace
{

// An empty field asks for nothing; anything else must be a dotted address.
bool read_address(const QString &text, in_addr *address, const QString &field,
                  QStringList *problems)
{
    if (text.isEmpty())
        return false;
    if (inet_pton(AF_INET, text.toLatin1().constData(), address) == 1)
        return true;
    problems->append(QObject::tr("the %1 field is not an IPv4 address (\"%2\")").arg(field, text));
    return false;
}

QString system_error(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Adds why the value typed into field will not do, if it will not; true
// when it will.
bool usable(const QString &problem, const QString &field, const QString &text,
            QStringList *problems)
{
    if (problem.isEmpty())
        return true;
    problems->append(QObject::tr("the %1 field (\"%2\"): %3").arg(field, text, problem));
    return false;
}

// Where an upload stood, in the image bytes the device acknowledged.
QString upload_position(const ExchangeReport &report)
{
    return QObject::tr("after %1 of %2 bytes").arg(report.acked).arg(report.image_size);
}

// How an exchange ended before the device's answer mattered, or after it
// refused, in the protocol's word for the exchange's answer.
QString describe_common(const ExchangeReport &report, const char *(*answer_word)(int result))
{
    switch (report.stage) {
    case STAGE_INPUT:
        return QObject::tr("nothing sent: the MAC names no single device");
    case STAGE_SOCKET:
        return QObject::tr("could not open a socket: %1").arg(system_error(report.error));
    case STAGE_NO_REPLY:
        return QObject::tr("no reply within the time-out");
    case STAGE_REFUSED:
        if (report.result == RESULT_FORBIDDEN || report.result == RESULT_FAILED)
            return QString::fromLatin1(answer_word(report.result));
        return QObject::tr("an answer without a valid result (%1)").arg(report.result);
    case STAGE_CANCELLED:
        return QObject::tr("cancelled");
    default:
        return QString();
    }
}

// What the exchanges hand back to the window while they run.
struct Hooks {
    const SetupRequest *request;
    const std::function<void(QString)> *say;
    const std::function<bool()> *stop;
    QElapsedTimer sinceLast;
};

bool stop_requested(void *context)
{
    return (*static_cast<Hooks *>(context)->stop)();
}

// Called after every piece of the image; says so at most every 100 ms.
void report_progress(void *context, uint64_t sent, uint64_t total)
{
    auto *hooks = static_cast<Hooks *>(context);
    if (sent != total && hooks->sinceLast.isValid() && hooks->sinceLast.elapsed() < 100)
        return;
    hooks->sinceLast.start();
    (*hooks->say)(QObject::tr("Install on %1: %2 of %3 bytes sent")
                      .arg(hooks->request->macText)
                      .arg(sent)
                      .arg(total));
}

} // namespace

QString read_setup_fields(const SetupFields &fields, SetupRequest *request)
{
    QStringList problems;
    const bool ip = read_address(fields.ip, &request->ipaddr, QObject::tr("IP"), &problems);
    const bool netmask =
        read_address(fields.netmask, &request->netmask, QObject::tr("netmask"), &problems);
    request->dhcp = fields.dhcp;
    if (problems.isEmpty()) {
        request->setup = (ip && netmask) || fields.dhcp;
        if (ip != netmask && !fields.dhcp)
            problems.append(QObject::tr("setup needs both a new IP and a new netmask"));
    }
    if (request->setup) {
        const bool ip_usable =
            usable(check_new_ip(request->ipaddr, request->netmask, request->dhcp),
                   QObject::tr("IP"), fields.ip, &problems);
        const bool netmask_usable = usable(check_new_netmask(request->netmask, request->dhcp),
                                           QObject::tr("netmask"), fields.netmask, &problems);
        request->setup = ip_usable && netmask_usable;
    }

    if (!fields.file.isEmpty()) {
        // Opened without blocking: a FIFO named here must not hang the window.
        const QByteArray path = QFile::encodeName(fields.file);
        int error = 0;
        const ImageProblem problem = check_image(path.constData(), &error);
        QString why = image_problem_text(problem);
        if (error != 0)
            why += QString(" (%1)").arg(system_error(error));
        request->install = usable(problem == IMAGE_OK ? QString() : why, QObject::tr("file"),
                                  fields.file, &problems);
        if (request->install)
            request->image = path;
    }

    if (request->setup || request->install) {
        if (const char *problem = check_device_mac(request->mac)) {
            problems.prepend(QObject::tr("the MAC: %1").arg(problem));
            request->setup = request->install = false;
        }
    }
    if (!request->setup) {
        request->ipaddr = in_addr{};
        request->netmask = in_addr{};
    }
    if (problems.isEmpty())
        return QString();
    return QObject::tr("%1: not sent: %2").arg(request->macText, problems.join("; "));
}

QString describe_setup(const ExchangeReport &report)
{
    if (report.stage == STAGE_DONE)
        return QString::fromLatin1(setup_result_word(RESULT_SUCCESS));
    return describe_common(report, setup_result_word);
}

QString describe_install(const ExchangeReport &report)
{
    switch (report.stage) {
    case STAGE_INPUT:
        if (report.error == EINVAL)
            break;
        return QObject::tr("nothing sent: the image cannot be uploaded") +
               (report.error == 0 ? QString() : ": " + system_error(report.error));
    case STAGE_DONE:
        return QObject::tr("image sent (%1 bytes)").arg(report.acked);
    case STAGE_CONNECT:
        if (report.error == ECONNREFUSED)
            return QObject::tr("connection refused");
        return QObject::tr("could not connect: %1").arg(system_error(report.error));
    case STAGE_IMAGE:
        return QObject::tr("could not read the image: %1").arg(system_error(report.error));
    case STAGE_UPLOAD:
        // The exchange's own word for a device that took no more for too long.
        if (report.error == ETIMEDOUT)
            return QObject::tr("device stopped reading %1").arg(upload_position(report));
        return QObject::tr("upload failed %1").arg(upload_position(report)) +
               (report.error == 0 ? QString() : ": " + system_error(report.error));
    case STAGE_CANCELLED:
        if (report.image_size != 0)
            return QObject::tr("cancelled %1").arg(upload_position(report));
        break;
    default:
        break;
    }
    return describe_common(report, install_result_word);
}

void run_setup_request(const SetupRequest &request, const std::function<void(QString)> &say,
                       const std::function<bool()> &stop)
{
    Hooks hooks{&request, &say, &stop, {}};
    ExchangeOptions options{};
    options.device = request.device;
    options.unicast = request.target.s_addr != INADDR_ANY;
    options.source_port = request.sourcePort;
    options.stop_requested = stop_requested;
    options.context = &hooks;
    if (request.setup) {
        ExchangeReport report{};
        do_setup_report(&request.local, &request.mac, &request.ipaddr, &request.netmask,
                        request.dhcp ? 1 : 0, &options, &report);
        say(QObject::tr("Setup of %1: %2").arg(request.macText, describe_setup(report)));
    }
    if (request.install) {
        ExchangeReport report{};
        report.stage = STAGE_CANCELLED;
        // Not begun once cancelled: the request would go out before the
        // exchange looks at stop.
        if (!stop()) {
            options.progress = report_progress;
            do_install_report(&request.local, &request.mac, request.image.constData(), &options,
                              &report);
        }
        say(QObject::tr("Install on %1: %2").arg(request.macText, describe_install(report)));
    }
}
