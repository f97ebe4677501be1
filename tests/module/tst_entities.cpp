// The three entities: their JSON with defaults and with set values, copies that do not share,
// and Qt property access by name that is the same as the getters and setters.

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
using Getter = std::function<QVariant(IJsonParser*)>;
using Setter = std::function<void(IJsonParser*, QVariant)>;
Q_DECLARE_METATYPE(Factory)
Q_DECLARE_METATYPE(Getter)
Q_DECLARE_METATYPE(Setter)

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
    void metaObjectShape_data();
    void metaObjectShape();
    void jsonOfDefaults_data();
    void jsonOfDefaults();
    void jsonOfSetValues();
    void copiesAreIndependent();
    void propertyByNameIsGetterAndSetter_data();
    void propertyByNameIsGetterAndSetter();
};

void TestEntities::metaObjectShape_data()
{
    QTest::addColumn<Factory>("make");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QStringList>("properties");
    QTest::newRow("chat") << Factory([] { return new KKChatEntity; }) << "KKChatEntity"
                          << QStringList{"buyerPin", "tokenType", "appKey", "userType"};
    QTest::newRow("setting") << Factory([] { return new KKSettingEntity; }) << "KKSettingEntity"
                             << QStringList{"hotKey", "shortcut", "proxy", "skinName", "merge"};
    QTest::newRow("skin") << Factory([] { return new KKSkinEntity; }) << "KKSkinEntity" << QStringList{"skinName"};
}

void TestEntities::metaObjectShape()
{
    QFETCH(Factory, make);
    QFETCH(QString, className);
    QFETCH(QStringList, properties);
    std::unique_ptr<IJsonParser> entity(make());
    const QMetaObject* meta = entity->metaObject();
    QCOMPARE(QString::fromLatin1(meta->className()), className);
    QStringList own;
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        own.append(QString::fromLatin1(property.name()));
        QVERIFY(property.isReadable() && property.isWritable() && property.isStored());
        QVERIFY(!property.isResettable() && !property.hasNotifySignal());
    }
    QCOMPARE(own, properties);  // in index order
}

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

void TestEntities::propertyByNameIsGetterAndSetter_data()
{
    QTest::addColumn<Factory>("make");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<Getter>("getter");
    QTest::addColumn<Setter>("setter");
    using G = Getter;
    using S = Setter;
    const Factory chat = [] { return new KKChatEntity; };
    const Factory setting = [] { return new KKSettingEntity; };
    const Factory skin = [] { return new KKSkinEntity; };
    auto c = [](IJsonParser* e) { return static_cast<KKChatEntity*>(e); };
    auto s = [](IJsonParser* e) { return static_cast<KKSettingEntity*>(e); };
    auto k = [](IJsonParser* e) { return static_cast<KKSkinEntity*>(e); };

    QTest::newRow("chat buyerPin") << chat << "buyerPin" << QVariant(QStringLiteral("pin"))
                                   << G([=](IJsonParser* e) { return QVariant(c(e)->GetBuyerPin()); })
                                   << S([=](IJsonParser* e, QVariant v) { c(e)->SetBuyerPin(v.toString()); });
    QTest::newRow("chat tokenType") << chat << "tokenType" << QVariant(7)
                                    << G([=](IJsonParser* e) { return QVariant(c(e)->GetTokenType()); })
                                    << S([=](IJsonParser* e, QVariant v) { c(e)->SetTokenType(v.toInt()); });
    QTest::newRow("chat appKey") << chat << "appKey" << QVariant(QStringLiteral("key"))
                                 << G([=](IJsonParser* e) { return QVariant(c(e)->GetAppKey()); })
                                 << S([=](IJsonParser* e, QVariant v) { c(e)->SetAppKey(v.toString()); });
    QTest::newRow("chat userType") << chat << "userType" << QVariant(2)
                                   << G([=](IJsonParser* e) { return QVariant(c(e)->GetUserType()); })
                                   << S([=](IJsonParser* e, QVariant v) { c(e)->SetUserType(v.toInt()); });
    QTest::newRow("setting hotKey") << setting << "hotKey" << QVariant(QJsonValue(QStringLiteral("F1")))
                                    << G([=](IJsonParser* e) { return QVariant(s(e)->GetHotKey()); })
                                    << S([=](IJsonParser* e, QVariant v) { s(e)->SetHotKey(v.toJsonValue()); });
    QTest::newRow("setting shortcut") << setting << "shortcut" << QVariant(QJsonValue(QJsonArray{1}))
                                      << G([=](IJsonParser* e) { return QVariant(s(e)->GetShortcut()); })
                                      << S([=](IJsonParser* e, QVariant v) { s(e)->SetShortcut(v.toJsonValue()); });
    QTest::newRow("setting proxy") << setting << "proxy" << QVariant(QJsonValue(true))
                                   << G([=](IJsonParser* e) { return QVariant(s(e)->GetProxy()); })
                                   << S([=](IJsonParser* e, QVariant v) { s(e)->SetProxy(v.toJsonValue()); });
    QTest::newRow("setting skinName") << setting << "skinName" << QVariant(QStringLiteral("dark"))
                                      << G([=](IJsonParser* e) { return QVariant(s(e)->GetSkinName()); })
                                      << S([=](IJsonParser* e, QVariant v) { s(e)->SetSkinName(v.toString()); });
    QTest::newRow("setting merge") << setting << "merge" << QVariant(true)
                                   << G([=](IJsonParser* e) { return QVariant(s(e)->GetMerge()); })
                                   << S([=](IJsonParser* e, QVariant v) { s(e)->SetMerge(v.toBool()); });
    QTest::newRow("skin skinName") << skin << "skinName" << QVariant(QStringLiteral("blue"))
                                   << G([=](IJsonParser* e) { return QVariant(k(e)->GetSkinName()); })
                                   << S([=](IJsonParser* e, QVariant v) { k(e)->SetSkinName(v.toString()); });
}

void TestEntities::propertyByNameIsGetterAndSetter()
{
    QFETCH(Factory, make);
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    QFETCH(Getter, getter);
    QFETCH(Setter, setter);
    std::unique_ptr<IJsonParser> byName(make());
    QVERIFY(byName->setProperty(qPrintable(property), value));
    QCOMPARE(getter(byName.get()), value);  // setProperty reaches the getter

    std::unique_ptr<IJsonParser> bySetter(make());
    setter(bySetter.get(), value);
    QCOMPARE(bySetter->property(qPrintable(property)), value);  // the setter reaches property()
    QCOMPARE(bySetter->ToJson(), byName->ToJson());
}

QTEST_GUILESS_MAIN(TestEntities)
#include "tst_entities.moc"
