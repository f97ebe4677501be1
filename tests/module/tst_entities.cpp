// The three entities: their JSON with defaults and with set values, copies that do not share,
// and reading back what they write.

#include "PlatformKKWrapper/KKChatEntity.h"
#include "PlatformKKWrapper/KKSettingEntity.h"
#include "PlatformKKWrapper/KKSkinEntity.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QtTest>

#include <functional>
#include <memory>

using Factory = std::function<IJsonParser*()>;
Q_DECLARE_METATYPE(Factory)
Q_DECLARE_METATYPE(std::shared_ptr<IJsonParser>)

namespace {

QJsonObject JsonOf(const IJsonParser& entity)
{
    return QJsonDocument::fromJson(entity.ToJson()).object();
}

}  // namespace

class TestEntities : public QObject
{
    Q_OBJECT

private slots:
    void jsonOfDefaults_data();
    void jsonOfDefaults();
    void jsonOfSetValues();
    void copiesAreIndependent();
    void readsBackWhatItWrites_data();
    void readsBackWhatItWrites();
};

void TestEntities::jsonOfDefaults_data()
{
    QTest::addColumn<Factory>("make");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("chat") << Factory([] { return new KKChatEntity; })
                          << QByteArray("{\"appKey\":\"\",\"buyerPin\":\"\",\"tokenType\":0,\"userType\":0}");
    QTest::newRow("setting") << Factory([] { return new KKSettingEntity; })
                             << QByteArray("{\"hotKey\":null,\"merge\":false,\"proxy\":null,\"shortcut\":null,\"skinName\":\"\"}");
    QTest::newRow("skin") << Factory([] { return new KKSkinEntity; }) << QByteArray("{\"skinName\":\"\"}");
}

void TestEntities::jsonOfDefaults()
{
    QFETCH(Factory, make);
    QFETCH(QByteArray, json);
    std::unique_ptr<IJsonParser> entity(make());
    QCOMPARE(entity->ToJson(), json);
}

void TestEntities::jsonOfSetValues()
{
    KKChatEntity chat;
    chat.SetBuyerPin(QStringLiteral("Buyer\"01"));
    chat.SetTokenType(-2);
    chat.SetAppKey(QStringLiteral("应用"));
    chat.SetUserType(1);
    QCOMPARE(JsonOf(chat), (QJsonObject{{"buyerPin", "Buyer\"01"}, {"tokenType", -2}, {"appKey", "应用"}, {"userType", 1}}));

    KKSettingEntity setting;
    setting.SetHotKey(QJsonObject{{"open", "Ctrl+K"}});
    setting.SetShortcut(QJsonArray{1, "two", false});
    setting.SetProxy(QStringLiteral("socks5://127.0.0.1:1080"));
    setting.SetSkinName(QStringLiteral("dark"));
    setting.SetMerge(true);
    QCOMPARE(JsonOf(setting), (QJsonObject{{"hotKey", QJsonObject{{"open", "Ctrl+K"}}},
                                           {"shortcut", QJsonArray{1, "two", false}},
                                           {"proxy", "socks5://127.0.0.1:1080"},
                                           {"skinName", "dark"},
                                           {"merge", true}}));
    setting.SetProxy(3.5);
    QCOMPARE(JsonOf(setting).value("proxy").toDouble(), 3.5);

    KKSkinEntity skin;
    skin.SetSkinName(QStringLiteral("light"));
    QCOMPARE(skin.ToJson(), QByteArray("{\"skinName\":\"light\"}"));
}

void TestEntities::copiesAreIndependent()
{
    QObject parent;
    KKChatEntity original(&parent);
    original.SetBuyerPin(QStringLiteral("first"));
    original.SetTokenType(3);
    KKChatEntity copy(original);
    QCOMPARE(copy.parent(), nullptr);  // a copy has no parent
    QCOMPARE(copy.ToJson(), original.ToJson());
    copy.SetBuyerPin(QStringLiteral("changed"));
    QCOMPARE(original.GetBuyerPin(), QStringLiteral("first"));

    KKSettingEntity a, b;
    a.SetHotKey(QJsonObject{{"k", 1}});
    a.SetMerge(true);
    b = a;
    b.SetHotKey(QJsonValue());
    QCOMPARE(a.GetHotKey(), QJsonValue(QJsonObject{{"k", 1}}));
    QCOMPARE(b.GetMerge(), true);

    KKSkinEntity skin;
    skin.SetSkinName(QStringLiteral("x"));
    KKSkinEntity skinCopy;
    skinCopy = skin;
    skinCopy.SetSkinName(QStringLiteral("y"));
    QCOMPARE(skin.GetSkinName(), QStringLiteral("x"));
}

// FromJson fills an entity through its Qt properties: what one entity writes, a fresh one reads
// back to the same values.
void TestEntities::readsBackWhatItWrites_data()
{
    QTest::addColumn<std::shared_ptr<IJsonParser>>("written");
    QTest::addColumn<Factory>("make");

    auto chat = std::make_shared<KKChatEntity>();
    chat->SetBuyerPin(QStringLiteral("Buyer\"01"));
    chat->SetTokenType(-2);
    chat->SetAppKey(QStringLiteral("应用"));
    chat->SetUserType(1);
    auto setting = std::make_shared<KKSettingEntity>();
    setting->SetHotKey(QJsonObject{{"open", "Ctrl+K"}});
    setting->SetShortcut(QJsonArray{1, "two", false});
    setting->SetProxy(true);
    setting->SetSkinName(QStringLiteral("dark"));
    setting->SetMerge(true);
    auto skin = std::make_shared<KKSkinEntity>();
    skin->SetSkinName(QStringLiteral("blue"));

    QTest::newRow("chat") << std::shared_ptr<IJsonParser>(chat) << Factory([] { return new KKChatEntity; });
    QTest::newRow("setting") << std::shared_ptr<IJsonParser>(setting) << Factory([] { return new KKSettingEntity; });
    QTest::newRow("skin") << std::shared_ptr<IJsonParser>(skin) << Factory([] { return new KKSkinEntity; });
}

void TestEntities::readsBackWhatItWrites()
{
    QFETCH(std::shared_ptr<IJsonParser>, written);
    QFETCH(Factory, make);
    std::unique_ptr<IJsonParser> read(make());
    QVERIFY(read->FromJson(written->ToJson()));
    QCOMPARE(read->ToJson(), written->ToJson());
    const QMetaObject* meta = read->metaObject();
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const char* name = meta->property(i).name();
        QCOMPARE(read->property(name), written->property(name));
    }
}

QTEST_GUILESS_MAIN(TestEntities)
#include "tst_entities.moc"
