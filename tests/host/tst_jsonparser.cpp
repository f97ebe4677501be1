// IJsonParser writes a subclass's Qt properties as one JSON object and fills them back, and the
// host's shared data holds what the host sets.

#include "VXCore/VXGlobalData.h"
#include "VXCore/ITcpManager.h"
#include "VXCore/VXTcpManager.h"
#include "VXFoundation/IJsonParser.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"

#include <QJsonDocument>
#include <QtTest>

class Sample : public IJsonParser
{
    Q_OBJECT
    Q_PROPERTY(QString name READ GetName WRITE SetName)
    Q_PROPERTY(int count READ GetCount WRITE SetCount)
    Q_PROPERTY(bool flag READ GetFlag WRITE SetFlag)
    Q_PROPERTY(QJsonValue extra READ GetExtra WRITE SetExtra)
    Q_PROPERTY(QByteArray raw READ GetRaw WRITE SetRaw)
public:
    using IJsonParser::IJsonParser;
    QString GetName() const { return m_name; }
    void SetName(const QString& v) { m_name = v; }
    int GetCount() const { return m_count; }
    void SetCount(const int& v) { m_count = v; }
    bool GetFlag() const { return m_flag; }
    void SetFlag(const bool& v) { m_flag = v; }
    QJsonValue GetExtra() const { return m_extra; }
    void SetExtra(const QJsonValue& v) { m_extra = v; }
    QByteArray GetRaw() const { return m_raw; }
    void SetRaw(const QByteArray& v) { m_raw = v; }

private:
    QString m_name;
    int m_count = 0;
    bool m_flag = false;
    QJsonValue m_extra;
    QByteArray m_raw;
};

class TestJsonParser : public QObject
{
    Q_OBJECT

private slots:
    void writesOneKeyPerProperty();
    void readsBackWhatItWrote();
    void refusesWhatIsNotAnObject();
    void hostDataHoldsWhatTheHostSets();
};

void TestJsonParser::writesOneKeyPerProperty()
{
    Sample sample;
    sample.setObjectName(QStringLiteral("not a property of the JSON"));
    sample.SetName(QStringLiteral("dark \"skin\""));
    sample.SetCount(-3);
    sample.SetFlag(true);
    sample.SetExtra(QJsonObject{{"ctrl", "alt+k"}});
    sample.SetRaw("bytes");
    const QByteArray json = sample.ToJson();
    QVERIFY(!json.contains('\n') && !json.contains("\": "));  // compact
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    QCOMPARE(object.keys(), QStringList({"count", "extra", "flag", "name", "raw"}));
    QCOMPARE(object.value("name").toString(), QStringLiteral("dark \"skin\""));
    QCOMPARE(object.value("count").toInt(), -3);
    QCOMPARE(object.value("flag").toBool(), true);
    QCOMPARE(object.value("extra").toObject().value("ctrl").toString(), QStringLiteral("alt+k"));
    QCOMPARE(object.value("raw").toString(), QStringLiteral("bytes"));

    Sample defaults;
    QCOMPARE(QJsonDocument::fromJson(defaults.ToJson()).object().value("extra").type(), QJsonValue::Null);
}

void TestJsonParser::readsBackWhatItWrote()
{
    Sample original;
    original.SetName(QStringLiteral("x"));
    original.SetCount(7);
    original.SetExtra(QJsonArray{1, "two"});
    Sample copy;
    QVERIFY(copy.FromJson(original.ToJson()));
    QCOMPARE(copy.ToJson(), original.ToJson());
}

void TestJsonParser::refusesWhatIsNotAnObject()
{
    Sample sample;
    QVERIFY(!sample.FromJson("[1,2]"));
    QVERIFY(!sample.FromJson("not json"));
}

void TestJsonParser::hostDataHoldsWhatTheHostSets()
{
    VXGlobalData::Instance()->SetPin(QStringLiteral("Seller01"));
    VXGlobalData::Instance()->SetAppVersion("5.2.1");
    QCOMPARE(VXGlobalData::Instance()->GetPin(), QStringLiteral("Seller01"));
    QCOMPARE(VXGlobalData::Instance()->GetAppVersion(), QByteArray("5.2.1"));

    VXTcpManager::Default()->SetLoginValues(QStringLiteral("a"), QStringLiteral("b"), QByteArray("\0c", 2));
    QCOMPARE(ITcpManager::Instance()->GetLoginValue1(), QStringLiteral("a"));
    QCOMPARE(ITcpManager::Instance()->GetLoginBytes(), QByteArray("\0c", 2));

    VXKKData* data = IGeneralData::Instance()->GetKKData();
    QVERIFY(data);
    QCOMPARE(IGeneralData::Instance()->GetKKData(), data);  // one shared holder
    data->SetStartupStatus(KK_Status_Unset);
    QCOMPARE(int(data->GetStartupStatus()), 6);
    data->SetStatus(KK_Status_Busy);
    data->SetChangeStatus(true);
    QCOMPARE(data->GetStatus(), KK_Status_Busy);
    QCOMPARE(data->GetChangeStatus(), true);
}

QTEST_GUILESS_MAIN(TestJsonParser)
#include "tst_jsonparser.moc"
