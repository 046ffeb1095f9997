// vqx250-modsim: serves one simulated VQX250 module on TCP, speaking the module's
// register protocol, for trying the configurator and its tools without hardware.

#include <cstdio>
#include <memory>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "ModuleModel.h"
#include "ModuleServer.h"
#include "NetworkRecord.h"
#include "Version.h"

namespace {

bool parseRecordOption(const QCommandLineParser& p, vqx::NetworkRecord& record, QString& error) {
    const struct {
        const char* name;
        std::uint32_t* field;
    } fields[] = {{"ip", &record.ip}, {"mask", &record.mask}, {"gateway", &record.gateway}};
    for (const auto& f : fields) {
        if (!p.isSet(QLatin1String(f.name)))
            continue;
        const auto value = vqx::parseAddress(p.value(QLatin1String(f.name)));
        if (!value) {
            error = QStringLiteral("--%1: '%2' is not a dotted IPv4 address")
                        .arg(QLatin1String(f.name), p.value(QLatin1String(f.name)));
            return false;
        }
        *f.field = *value;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vqx250-modsim"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(vqx::kVersion));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Serves one simulated VQX250 module over TCP with the module's register protocol:\n"
        "version register, EEPROM controller (variant 1 or 2) and a 2048-byte EEPROM\n"
        "holding the network settings record at addresses 6 to 17."));
    p.addHelpOption();
    p.addVersionOption();
    p.addOptions({
        {{QStringLiteral("a"), QStringLiteral("address")},
         QStringLiteral("Address to listen on (default 127.0.0.1)."),
         QStringLiteral("addr"),
         QStringLiteral("127.0.0.1")},
        {{QStringLiteral("p"), QStringLiteral("port")},
         QStringLiteral("TCP port to listen on (default 23100)."),
         QStringLiteral("port"),
         QStringLiteral("23100")},
        {QStringLiteral("variant"),
         QStringLiteral("EEPROM controller variant, 1 or 2 (default 1)."), QStringLiteral("n"),
         QStringLiteral("1")},
        {QStringLiteral("ip"), QStringLiteral("Initial IP address (default 192.168.1.20)."),
         QStringLiteral("addr")},
        {QStringLiteral("mask"), QStringLiteral("Initial subnet mask (default 255.255.255.0)."),
         QStringLiteral("addr")},
        {QStringLiteral("gateway"), QStringLiteral("Initial gateway (default 192.168.1.1)."),
         QStringLiteral("addr")},
        {QStringLiteral("record"),
         QStringLiteral("Initial 12-byte record at EEPROM 6..17 as 24 hex digits "
                        "(overrides --ip/--mask/--gateway)."),
         QStringLiteral("hex")},
        {QStringLiteral("first-packet"),
         QStringLiteral("Number of the first reply packet of each connection (default 0)."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("busy-polls"),
         QStringLiteral("Status reads that report busy before done (default 0)."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("write-busy-polls"),
         QStringLiteral("Status reads that report busy after a write command, in place of\n"
                        "--busy-polls (a slow EEPROM write; the client gives up after 3 s)."),
         QStringLiteral("n")},
        {QStringLiteral("fail-at"),
         QStringLiteral("EEPROM address whose transfers the controller fails."),
         QStringLiteral("addr")},
        {QStringLiteral("ignore-writes"),
         QStringLiteral("Report EEPROM writes as done but keep the old bytes.")},
        {QStringLiteral("never-done"), QStringLiteral("The controller never reports done.")},
        {QStringLiteral("strict"),
         QStringLiteral("Refuse what a real module would not accept (reserved bits set in a\n"
                        "request, a data byte with bit 7 set, the other variant's status or\n"
                        "command register, a command word with reserved bits) and log each\n"
                        "refusal on stderr; status words and data registers then carry\n"
                        "non-zero bits that a client must ignore.")},
        {QStringLiteral("no-reply"),
         QStringLiteral("Connection fault: answer no read request (the client's code 4).")},
        {QStringLiteral("bad-first-magic"),
         QStringLiteral("Connection fault: reply packets start EE instead of EF (code 5).")},
        {QStringLiteral("bad-second-magic"),
         QStringLiteral("Connection fault: reply packets start EF BF instead of EF BE (code 6).")},
        {QStringLiteral("skip-packet"),
         QStringLiteral("Connection fault: the reply packet with this index (0 = the first of\n"
                        "each connection) skips a packet number (code 7)."),
         QStringLiteral("n")},
        {QStringLiteral("close-after"),
         QStringLiteral("Connection fault: close each connection after this many reply bytes,\n"
                        "in the middle of a reply (code 8)."),
         QStringLiteral("bytes")},
        {QStringLiteral("piece-size"),
         QStringLiteral("Send replies in pieces of this many bytes, one piece per pass of the\n"
                        "event loop (the client must put them together)."),
         QStringLiteral("bytes")},
        {QStringLiteral("verbose"), QStringLiteral("Log each request and reply in hex on stderr.")},
    });
    p.process(app);

    QTextStream err(stderr);
    auto fail = [&err](const QString& text) {
        err << "vqx250-modsim: " << text << Qt::endl;
        return 2;
    };

    bool ok = false;
    const uint port = p.value(QStringLiteral("port")).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("--port must be 0 to 65535"));
    const QHostAddress address(p.value(QStringLiteral("address")));
    if (address.isNull())
        return fail(QStringLiteral("--address: '%1' is not an IP address")
                        .arg(p.value(QStringLiteral("address"))));
    const int variant = p.value(QStringLiteral("variant")).toInt(&ok);
    if (!ok || (variant != 1 && variant != 2))
        return fail(QStringLiteral("--variant must be 1 or 2"));
    const uint first = p.value(QStringLiteral("first-packet")).toUInt(&ok, 0);
    if (!ok || first > 0xFFFF)
        return fail(QStringLiteral("--first-packet must be 0 to 65535"));
    const int busy = p.value(QStringLiteral("busy-polls")).toInt(&ok);
    if (!ok || busy < 0)
        return fail(QStringLiteral("--busy-polls must be a number of 0 or more"));

    auto model = std::make_shared<vqx::sim::ModuleModel>(
        variant == 2 ? vqx::sim::ModuleModel::Variant::V2 : vqx::sim::ModuleModel::Variant::V1);
    model->setBusyPolls(busy);
    if (p.isSet(QStringLiteral("write-busy-polls"))) {
        const int writeBusy = p.value(QStringLiteral("write-busy-polls")).toInt(&ok);
        if (!ok || writeBusy < 0)
            return fail(QStringLiteral("--write-busy-polls must be a number of 0 or more"));
        model->setWriteBusyPolls(writeBusy);
    }

    vqx::NetworkRecord record{0xC0A80101, 0xFFFFFF00, 0xC0A80114};
    QString error;
    if (!parseRecordOption(p, record, error))
        return fail(error);
    vqx::RecordBytes bytes = record.toBytes();
    if (p.isSet(QStringLiteral("record"))) {
        const QByteArray hex = p.value(QStringLiteral("record")).toLatin1();
        const QByteArray raw = QByteArray::fromHex(hex);
        if (hex.size() != 24 || raw.size() != 12 || raw.toHex() != hex.toLower())
            return fail(QStringLiteral("--record takes exactly 24 hex digits"));
        for (int i = 0; i < 12; ++i)
            bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(raw[i]);
    }
    model->setRecord(bytes);
    if (p.isSet(QStringLiteral("fail-at"))) {
        const int at = p.value(QStringLiteral("fail-at")).toInt(&ok, 0);
        if (!ok || at < 0 || at > 2047)
            return fail(QStringLiteral("--fail-at must be an EEPROM address, 0 to 2047"));
        model->faults().failAtAddress = at;
    }
    model->faults().ignoreWrites = p.isSet(QStringLiteral("ignore-writes"));
    model->faults().neverDone = p.isSet(QStringLiteral("never-done"));
    model->setStrict(p.isSet(QStringLiteral("strict")));
    model->setRejectHandler([&err](const std::string& why) {
        err << "vqx250-modsim: rejected: " << QString::fromStdString(why) << Qt::endl;
    });

    vqx::sim::ModuleServer server(model);
    auto& net = server.faults();
    net.noReply = p.isSet(QStringLiteral("no-reply"));
    net.badMagic0 = p.isSet(QStringLiteral("bad-first-magic"));
    net.badMagic1 = p.isSet(QStringLiteral("bad-second-magic"));
    const struct {
        const char* name;
        int* field;
        int min;
    } counts[] = {{"skip-packet", &net.skipNumberAt, 0},
                  {"close-after", &net.closeAfterBytes, 0},
                  {"piece-size", &net.pieceSize, 1}};
    for (const auto& c : counts) {
        if (!p.isSet(QLatin1String(c.name)))
            continue;
        const int v = p.value(QLatin1String(c.name)).toInt(&ok);
        if (!ok || v < c.min)
            return fail(QStringLiteral("--%1 must be a number of %2 or more")
                            .arg(QLatin1String(c.name))
                            .arg(c.min));
        *c.field = v;
    }
    server.setFirstPacketNumber(static_cast<std::uint16_t>(first));
    if (p.isSet(QStringLiteral("verbose")))
        server.setLogger([&err](const QString& line) { err << line << Qt::endl; });
    if (!server.listen(address, static_cast<quint16>(port)))
        return fail(QStringLiteral("cannot listen on %1:%2").arg(address.toString()).arg(port));

    const vqx::NetworkRecord shown = vqx::NetworkRecord::fromBytes(model->record());
    err << "vqx250-modsim: " << (model->strict() ? "strict " : "") << "module (variant " << variant
        << ") listening on " << server.address().toString() << ":" << server.port() << "; IP "
        << vqx::formatAddress(shown.ip) << ", mask " << vqx::formatAddress(shown.mask)
        << ", gateway " << vqx::formatAddress(shown.gateway) << Qt::endl;
    return QCoreApplication::exec();
}
