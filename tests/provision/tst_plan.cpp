// Plans for vqx250-ipconfig apply: the CSV and JSON forms, every way they are refused, and
// loading one from a file.

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "Plan.h"
#include "PlanFile.h"
#include "PlanWriter.h"

using vqx::provision::parsePlan;
using vqx::provision::PlanEntry;
using vqx::provision::PlanFormat;

Q_DECLARE_METATYPE(PlanFormat)

class TestPlan : public QObject {
    Q_OBJECT
private slots:
    void csvLine_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("plain") << "a,b,c" << QStringList{"a", "b", "c"};
        QTest::newRow("blanks trimmed") << "  a , b ,c  " << QStringList{"a", "b", "c"};
        QTest::newRow("empty fields") << ",,x" << QStringList{"", "", "x"};
        QTest::newRow("trailing comma") << "a," << QStringList{"a", ""};
        QTest::newRow("quoted") << "\"a,b\",c" << QStringList{"a,b", "c"};
        QTest::newRow("doubled quote") << "\"say \"\"hi\"\"\"" << QStringList{"say \"hi\""};
        QTest::newRow("quoted keeps blanks") << " \" a \" ,b" << QStringList{" a ", "b"};
    }
    void csvLine() {
        QFETCH(QString, line);
        QFETCH(QStringList, fields);
        QString error;
        const auto got = vqx::provision::splitCsvLine(line, &error);
        QVERIFY2(got.has_value(), qPrintable(error));
        QCOMPARE(*got, fields);
    }

    void csvLineRefused_data() {
        QTest::addColumn<QString>("line");
        QTest::newRow("unclosed") << "\"abc,d";
        QTest::newRow("text after quote") << "\"a\"b,c";
        QTest::newRow("quote inside") << "a\"b,c";
    }
    void csvLineRefused() {
        QFETCH(QString, line);
        QString error;
        QVERIFY(!vqx::provision::splitCsvLine(line, &error).has_value());
        QVERIFY(!error.isEmpty());
    }

    void csv() {
        const QByteArray text = "\xEF\xBB\xBF# provisioning of rack 4\r\n"
                                "Host, Port ,slot,ip,mask,gateway\r\n"
                                "\r\n"
                                "192.168.1.20,,,10.0.0.20,255.255.255.0,10.0.0.1\r\n"
                                "127.0.0.1,23101,,10.0.0.21,255.255.255.0,0.0.0.0\r\n"
                                "  # a comment\n"
                                ",,3,\"10.0.0.23\",255.255.255.0,10.0.0.1\n";
        QString error;
        const auto plan = parsePlan(text, PlanFormat::Auto, &error);
        QVERIFY2(plan.has_value(), qPrintable(error));
        QCOMPARE(plan->size(), std::size_t{3});
        const PlanEntry& a = (*plan)[0];
        QCOMPARE(a.origin, 4);
        QCOMPARE(a.host, 0xC0A80114u);
        QCOMPARE(a.port, std::uint16_t{23100});
        QCOMPARE(a.slot, 0);
        QCOMPARE(a.settings.ip, 0x0A000014u);
        QCOMPARE(a.settings.mask, 0xFFFFFF00u);
        QCOMPARE(a.settings.gateway, 0x0A000001u);
        QCOMPARE(a.target(), QStringLiteral("192.168.1.20"));
        QCOMPARE((*plan)[1].port, std::uint16_t{23101});
        QCOMPARE((*plan)[1].settings.gateway, 0u);
        QCOMPARE((*plan)[1].target(), QStringLiteral("127.0.0.1:23101"));
        QCOMPARE((*plan)[2].slot, 3);
        QCOMPARE((*plan)[2].target(), QStringLiteral("slot 3"));
        QCOMPARE((*plan)[2].settings.ip, 0x0A000017u);
    }

    void json_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("array") << QByteArray(
            R"([{"host":"192.168.1.20","ip":"10.0.0.20","mask":"255.255.255.0","gateway":"10.0.0.1"},
                {"slot":3,"ip":"10.0.0.23","mask":"255.255.255.0","gateway":"10.0.0.1"},
                {"host":"127.0.0.1","port":23101,"ip":"10.0.0.21","mask":"255.255.255.0","gateway":"0.0.0.0"}])");
        QTest::newRow("modules object") << QByteArray(
            R"({"modules":[{"host":"192.168.1.20","ip":"10.0.0.20","mask":"255.255.255.0","gateway":"10.0.0.1"},
                {"slot":3,"ip":"10.0.0.23","mask":"255.255.255.0","gateway":"10.0.0.1"},
                {"host":"127.0.0.1","port":23101,"ip":"10.0.0.21","mask":"255.255.255.0","gateway":"0.0.0.0"}]})");
    }
    void json() {
        QFETCH(QByteArray, text);
        QString error;
        const auto plan = parsePlan(text, PlanFormat::Auto, &error);
        QVERIFY2(plan.has_value(), qPrintable(error));
        QCOMPARE(plan->size(), std::size_t{3});
        QCOMPARE((*plan)[0].host, 0xC0A80114u);
        QCOMPARE((*plan)[0].origin, 1);
        QCOMPARE((*plan)[1].slot, 3);
        QCOMPARE((*plan)[1].settings.ip, 0x0A000017u);
        QCOMPARE((*plan)[2].port, std::uint16_t{23101});
        QCOMPARE((*plan)[2].origin, 3);
    }

    void forcedFormat() {
        // A CSV text read as JSON is refused, and the other way round.
        QString error;
        QVERIFY(!parsePlan("host,ip,mask,gateway\n1.2.3.4,10.0.0.2,255.0.0.0,0.0.0.0\n",
                           PlanFormat::Json, &error));
        QVERIFY(error.contains(QStringLiteral("JSON")));
        QVERIFY(!parsePlan(R"([{"slot":1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])",
                           PlanFormat::Csv, &error));
        // One byte order mark is passed over, not two.
        QVERIFY(!parsePlan("\xEF\xBB\xBF\xEF\xBB\xBF[]", PlanFormat::Json, &error));
        QVERIFY2(error.startsWith(QStringLiteral("the plan is not valid JSON")), qPrintable(error));
        // Read as JSON, a number is valid JSON but not a plan.
        QVERIFY(!parsePlan(" 5", PlanFormat::Json, &error));
        QVERIFY2(error.contains(QStringLiteral("\"modules\" array")), qPrintable(error));
    }

    void refused_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message"); // part of the error text
        const QByteArray h = "host,port,slot,ip,mask,gateway\n";
        QTest::newRow("empty") << QByteArray("") << "no header";
        QTest::newRow("header only") << h << "no modules";
        QTest::newRow("unknown column") << QByteArray("host,ip,mask,gatway\n") << "'gatway'";
        QTest::newRow("column twice") << QByteArray("host,ip,ip,mask,gateway\n") << "twice";
        QTest::newRow("no ip column") << QByteArray("host,mask,gateway\n") << "'ip'";
        QTest::newRow("no target column")
            << QByteArray("ip,mask,gateway\n") << "'host' or a 'slot'";
        QTest::newRow("field count") << h + "1.2.3.4,,,10.0.0.2,255.0.0.0\n"
                                     << "plan line 2: 5 fields";
        QTest::newRow("host and slot") << h + "1.2.3.4,,2,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                       << "plan line 2: give either a host or a slot";
        QTest::newRow("neither") << h + ",,,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                 << "either";
        QTest::newRow("bad host") << h + "1.2.3,,,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                  << "host '1.2.3'";
        QTest::newRow("bad port") << h + "1.2.3.4,70000,,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                  << "port '70000'";
        QTest::newRow("port with sign") << h + "1.2.3.4,+80,,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                        << "port '+80'";
        QTest::newRow("octet with leading zero") << h + "010.0.0.1,,,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                                 << "host '010.0.0.1'";
        QTest::newRow("field quoted short and escaped")
            << h + ",,1,\x1b[2J" + QByteArray(100, '9') + ",255.0.0.0,0.0.0.0\n"
            << "ip '\\e[2J" + QString(56, '9') + "...'";
        QTest::newRow("port with slot") << h + ",23101,2,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                        << "port goes with a host";
        QTest::newRow("slot 0") << h + ",,0,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                << "slot '0'";
        QTest::newRow("slot 7") << h + ",,7,10.0.0.2,255.0.0.0,0.0.0.0\n"
                                << "slot '7'";
        QTest::newRow("bad ip") << h + ",,1,10.0.0.256,255.0.0.0,0.0.0.0\n"
                                << "ip '10.0.0.256'";
        QTest::newRow("missing mask") << h + ",,1,10.0.0.2,,0.0.0.0\n"
                                      << "mask is missing";
        QTest::newRow("bad quote") << h + ",,1,\"10.0.0.2,255.0.0.0,0.0.0.0\n"
                                   << "plan line 2: a quoted field";
        QTest::newRow("same slot twice")
            << h + ",,1,10.0.0.2,255.0.0.0,0.0.0.0\n,,1,10.0.0.3,255.0.0.0,0.0.0.0\n"
            << "slot 1 is listed more than once";
        QTest::newRow("same host twice") << h + "1.2.3.4,,,10.0.0.2,255.0.0.0,0.0.0.0\n1.2.3.4,"
                                                "23100,,10.0.0.3,255.0.0.0,0.0.0.0\n"
                                         << "1.2.3.4 is listed more than once";
        QTest::newRow("json syntax") << QByteArray("[{\"slot\":1,}]") << "not valid JSON";
        QTest::newRow("json top object") << QByteArray("{\"hosts\":[]}") << "\"modules\"";
        QTest::newRow("json entry not object")
            << QByteArray("[1]") << "plan entry 1: not an object";
        QTest::newRow("json unknown key")
            << QByteArray(
                   R"([{"slot":1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0","gw":"x"}])")
            << "plan entry 1: unknown key \"gw\"";
        // Duplicate keys are refused, not merged: named with their entry.
        QTest::newRow("json key twice")
            << QByteArray(
                   R"({"modules":[{"slot":1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"},
                {"host":"127.0.0.1","host":"127.0.0.2","ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}]})")
            << "plan entry 2: the key \"host\" appears twice";
        QTest::newRow("json slot as text")
            << QByteArray(
                   R"([{"slot":"1","ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "whole number";
        QTest::newRow("json slot fraction")
            << QByteArray(
                   R"([{"slot":1.5,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "whole number";
        // Numbers beyond an int are refused by their value, like any other out of range.
        QTest::newRow("json port 1e10")
            << QByteArray(
                   R"([{"host":"1.2.3.4","port":1e10,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "port '10000000000' is not a number from 1 to 65535";
        QTest::newRow("json port 2^32+1")
            << QByteArray(
                   R"([{"host":"1.2.3.4","port":4294967297,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "port '4294967297' is not a number from 1 to 65535";
        QTest::newRow("json port -1")
            << QByteArray(
                   R"([{"host":"1.2.3.4","port":-1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "port '-1' is not a number from 1 to 65535";
        QTest::newRow("json port 1.5")
            << QByteArray(
                   R"([{"host":"1.2.3.4","port":1.5,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "plan entry 1: \"port\" must be a whole number";
        QTest::newRow("json slot 1e10")
            << QByteArray(
                   R"([{"slot":1e10,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "slot '10000000000' is not a number from 1 to 6";
        QTest::newRow("json slot 2^32+1")
            << QByteArray(
                   R"([{"slot":4294967297,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "slot '4294967297' is not a number from 1 to 6";
        QTest::newRow("json slot -1")
            << QByteArray(R"([{"slot":-1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "slot '-1' is not a number from 1 to 6";
        QTest::newRow("json slot -1e300")
            << QByteArray(
                   R"([{"slot":-1e300,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "is not a number from 1 to 6";
        QTest::newRow("json ip as number")
            << QByteArray(R"([{"slot":1,"ip":10,"mask":"255.0.0.0","gateway":"0.0.0.0"}])")
            << "\"ip\" must be a string";
        QTest::newRow("json missing gateway")
            << QByteArray(R"([{"slot":1,"ip":"10.0.0.2","mask":"255.0.0.0"}])")
            << "gateway is missing";
        QTest::newRow("json empty") << QByteArray("[]") << "no modules";
        // Keys twice at each depth: the top object's, an entry's in either form; deeper, the
        // object is refused as a value before its keys are looked at.
        const QByteArray slot1 =
            R"("slot":1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0")";
        QTest::newRow("json modules twice") << "{\"modules\":[{" + slot1 + "}],\"modules\":[]}"
                                            << "the key \"modules\" appears twice in one object";
        QTest::newRow("json key twice in the first entry")
            << "[{" + slot1 + ",\"slot\":2}]"
            << "plan entry 1: the key \"slot\" appears twice";
        QTest::newRow("json key twice, in an object in an entry")
            << QByteArray(R"([{"host":{"a":1,"a":2},"ip":"10.0.0.2"}])")
            << "plan entry 1: \"host\" must be a string";
        QTest::newRow("json unknown key twice")
            << QByteArray(R"([{"gw":1,"gw":2}])") << "plan entry 1: unknown key \"gw\"";
        // One pass: the first problem met is the one reported, also when the plan is cut
        // short after it; a plan cut short after good entries is not valid JSON.
        QTest::newRow("json cut short") << "[{" + slot1 + "},{\"slot\":2,\"ip\":\"10.0"
                                        << "not valid JSON";
        QTest::newRow("json cut short after a bad entry")
            << "[{\"slot\":9" + slot1.mid(8) + "},{\"slot\":2,\"ip"
            << "plan entry 1: slot '9' is not a number from 1 to 6";
        QTest::newRow("json cut short after a key twice")
            << "{\"modules\":[{" + slot1 + "}],\"modules\":[{\"sl"
            << "the key \"modules\" appears twice";
        QTest::newRow("csv cut short") << h + ",,1,10.0.0.2,255.0.0.0,0.0.0.0\n,,2,10.0.0.3,25"
                                       << "plan line 3: 5 fields where the header has 6";
        QTest::newRow("json syntax, offset after the byte order mark")
            << QByteArray("\xEF\xBB\xBF [,]") << "at offset 2";
        QTest::newRow("json syntax, last token quoted") << "[" + QByteArray(5000, '7') + "\x1b"
                                                        << "not valid JSON";
        // A row (not a comment) longer than kMaxPlanLineBytes.
        QTest::newRow("csv long line")
            << h + ",,1,10.0.0.2,255.0.0.0,0.0.0.0" + QByteArray(4070, ' ') + "\n"
            << "plan line 2: longer than 4096 bytes";
    }
    void refused() {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        QString error;
        QVERIFY(!parsePlan(text, PlanFormat::Auto, &error).has_value());
        QVERIFY2(error.contains(message), qPrintable(error));
    }

    // The bounds hold while the plan is read: one more module or byte than the bound is
    // refused at once, whatever follows (here, text that does not parse). Long comment and
    // blank lines take no room.
    void limits_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("modules");
        QTest::addColumn<QString>("message"); // empty: `modules` or fewer modules read
        QTest::addColumn<int>("count");
        const QByteArray csv = "slot,ip,mask,gateway\n1,10.0.0.1,255.0.0.0,0.0.0.0\n"
                               "2,10.0.0.2,255.0.0.0,0.0.0.0\n3,10.0.0.3,255.0.0.0,0.0.0.0\n";
        QByteArray json = "[";
        for (const char* n : {"1", "2", "3"})
            json += QByteArray(R"({"slot":)") + n +
                    R"(,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"},)";
        json.chop(1);
        QTest::newRow("csv at the module bound") << csv << qint64{1000} << 3 << "" << 3;
        QTest::newRow("csv over the module bound")
            << csv + "\"4,10.0.0.4\n"
            << qint64{1000} << 3 << "more than 3 modules" << 0;
        QTest::newRow("json at the module bound") << json + "]" << qint64{1000} << 3 << "" << 3;
        QTest::newRow("json over the module bound")
            << json + ",[{" << qint64{1000} << 3 << "more than 3 modules" << 0;
        QTest::newRow("json over the module bound, modules object")
            << "{\"modules\":" + json + ",7" << qint64{1000} << 3 << "more than 3 modules" << 0;
        QTest::newRow("at the byte bound") << csv << qint64(csv.size()) << 10 << "" << 3;
        QTest::newRow("a byte over")
            << csv << qint64(csv.size() - 1) << 10 << "the plan is larger than 107 bytes" << 0;
        QTest::newRow("json cut by the byte bound")
            << json + "]" << qint64(json.size() / 2) << 10 << "the plan is larger than" << 0;
        QTest::newRow("long blank and comment lines")
            << csv + QByteArray(5000, ' ') + "\n\t" + QByteArray(5000, ' ') + "# " +
                   QByteArray(5000, 'x') + "\n"
            << qint64{100000} << 10 << "" << 3;
        QTest::newRow("long blank line, then a module")
            << csv + QByteArray(5000, ' ') + "4,10.0.0.4,255.0.0.0,0.0.0.0\n"
            << qint64{100000} << 10 << "plan line 5: longer than 4096 bytes" << 0;
    }
    void limits() {
        QFETCH(QByteArray, text);
        QFETCH(qint64, bytes);
        QFETCH(int, modules);
        QFETCH(QString, message);
        QFETCH(int, count);
        QBuffer in(&text);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QString error;
        const auto plan =
            vqx::provision::readPlan(in, PlanFormat::Auto, &error, {bytes, std::size_t(modules)});
        if (message.isEmpty()) {
            QVERIFY2(plan.has_value(), qPrintable(error));
            QCOMPARE(plan->size(), std::size_t(count));
        } else {
            QVERIFY(!plan.has_value());
            QVERIFY2(error.contains(message), qPrintable(error));
        }
    }

    // The form comes from the caller, else from the name's ending in any case, else from the
    // content; a plan of exactly kMaxPlanBytes is read, one byte more is refused.
    void load_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<PlanFormat>("format");
        QTest::addColumn<QString>("error"); // empty: one module loaded
        const QByteArray csv = "host,ip,mask,gateway\n192.168.1.20,10.0.0.2,255.0.0.0,0.0.0.0\n";
        const QByteArray json =
            R"([{"host":"192.168.1.20","ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}])";
        QTest::newRow("csv") << "rack.csv" << csv << PlanFormat::Auto << "";
        QTest::newRow("json, name in capitals") << "rack.JSON" << json << PlanFormat::Auto << "";
        QTest::newRow("json named csv")
            << "rack.csv" << json << PlanFormat::Auto << "line 1: a quote inside an unquoted field";
        QTest::newRow("csv named json")
            << "rack.json" << csv << PlanFormat::Auto << "not valid JSON";
        QTest::newRow("json by content") << "rack.txt" << json << PlanFormat::Auto << "";
        QTest::newRow("form given beats the name") << "rack.json" << csv << PlanFormat::Csv << "";
        QByteArray full = csv + "#";
        full += QByteArray(int(vqx::provision::kMaxPlanBytes - full.size()), 'x');
        QTest::newRow("at the bound") << "rack.csv" << full << PlanFormat::Auto << "";
        QTest::newRow("above the bound")
            << "rack.csv" << full + "x" << PlanFormat::Auto
            << "the plan is larger than 64 MiB; split it into smaller plans";
    }
    void load() {
        QFETCH(QString, name);
        QFETCH(QByteArray, text);
        QFETCH(PlanFormat, format);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
        f.close();
        QString why;
        const auto plan = vqx::provision::loadPlan(path, format, &why);
        if (error.isEmpty()) {
            QVERIFY2(plan.has_value(), qPrintable(why));
            QCOMPARE(plan->size(), std::size_t{1});
            QCOMPARE(plan->front().host, 0xC0A80114u);
        } else {
            QVERIFY(!plan.has_value());
            QVERIFY2(why.contains(error), qPrintable(why));
        }
    }

    // A file that cannot be opened is named as given, escaped, with the system's reason.
    void loadMissing() {
        QString why;
        QVERIFY(!vqx::provision::loadPlan(QStringLiteral("no-such-folder/rack\x1b.csv"),
                                          PlanFormat::Auto, &why)
                     .has_value());
        const QString head = QStringLiteral("cannot read the plan no-such-folder/rack\\e.csv: ");
        QVERIFY2(why.startsWith(head) && why.size() > head.size(), qPrintable(why));
    }
    // A plan written in either form reads back as the same entries; the CSV form is byte
    // exact, with an empty port field for the module port.
    void writtenPlanReadsBack_data() {
        QTest::addColumn<PlanFormat>("format");
        QTest::newRow("csv") << PlanFormat::Csv;
        QTest::newRow("json") << PlanFormat::Json;
    }
    void writtenPlanReadsBack() {
        QFETCH(PlanFormat, format);
        std::vector<PlanEntry> entries(3);
        entries[0].host = 0xC0A80114;
        entries[0].settings = {0x0A000001, 0xFFFFFF00, 0x0A000014};
        entries[1].host = 0x7F000001;
        entries[1].port = 23101;
        entries[1].settings = {0, 0xFFFF0000, 0x0A010015};
        entries[2].slot = 3;
        entries[2].settings = {0x0A000001, 0xFFFFFF00, 0x0A000017};
        const QByteArray text = vqx::provision::writePlan(entries, format);
        if (format == PlanFormat::Csv)
            QCOMPARE(text, QByteArray("host,port,slot,ip,mask,gateway\n"
                                      "192.168.1.20,,,10.0.0.20,255.255.255.0,10.0.0.1\n"
                                      "127.0.0.1,23101,,10.1.0.21,255.255.0.0,0.0.0.0\n"
                                      ",,3,10.0.0.23,255.255.255.0,10.0.0.1\n"));
        QString why;
        const auto back = parsePlan(text, PlanFormat::Auto, &why);
        QVERIFY2(back.has_value(), qPrintable(why));
        QCOMPARE(back->size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            QCOMPARE((*back)[i].target(), entries[i].target());
            QCOMPARE((*back)[i].port, entries[i].port);
            QVERIFY((*back)[i].settings == entries[i].settings);
        }
    }

    void csvFieldQuotesWhatTheSplitterWouldCut() {
        const QStringList fields = {"plain", "a,b", "say \"hi\"", " padded ", ""};
        QString error;
        const auto back = vqx::provision::splitCsvLine(vqx::provision::csvLine(fields), &error);
        QVERIFY2(back.has_value(), qPrintable(error));
        QCOMPARE(*back, fields);
    }
};

QTEST_APPLESS_MAIN(TestPlan)
#include "tst_plan.moc"
