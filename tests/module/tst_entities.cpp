// The three entities: their JSON with defaults and with every field set, reading back what they
// write, and copies (constructed and assigned) that carry every field but not the parent.

#include "PlatformKKWrapper/KKChatEntity.h"
#include "PlatformKKWrapper/KKSettingEntity.h"
#include "PlatformKKWrapper/KKSkinEntity.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <functional>

class TestEntities : public QObject
{
    Q_OBJECT

    template <typename Entity>
    void Check(const char* defaults, const std::function<void(Entity&)>& setAll, const char* json)
    {
        QCOMPARE(Entity().ToJson(), QByteArray(defaults));
        QObject parent;
        Entity original(&parent);
        setAll(original);
        QCOMPARE(original.ToJson(), QByteArray(json));
        Entity read;
        QVERIFY(read.FromJson(json));
        QCOMPARE(read.ToJson(), QByteArray(json));
        const Entity copy(original);
        Entity assigned;
        assigned = original;
        QVERIFY(!copy.parent() && !assigned.parent());
        QCOMPARE(copy.ToJson(), QByteArray(json));
        QCOMPARE(assigned.ToJson(), QByteArray(json));
    }

private slots:
    void chat()
    {
        Check<KKChatEntity>("{\"appKey\":\"\",\"buyerPin\":\"\",\"tokenType\":0,\"userType\":0}",
                            [](KKChatEntity& e) {
                                e.SetBuyerPin(QStringLiteral("Buyer\"01"));
                                e.SetTokenType(-2);
                                e.SetAppKey(QStringLiteral("应用"));
                                e.SetUserType(1);
                            },
                            "{\"appKey\":\"应用\",\"buyerPin\":\"Buyer\\\"01\",\"tokenType\":-2,\"userType\":1}");
    }

    void setting()
    {
        Check<KKSettingEntity>("{\"hotKey\":null,\"merge\":false,\"proxy\":null,\"shortcut\":null,\"skinName\":\"\"}",
                               [](KKSettingEntity& e) {
                                   e.SetHotKey(QJsonObject{{"open", "Ctrl+K"}});
                                   e.SetShortcut(QJsonArray{1, "two", false});
                                   e.SetProxy(QStringLiteral("socks5://127.0.0.1:1080"));
                                   e.SetSkinName(QStringLiteral("dark"));
                                   e.SetMerge(true);
                               },
                               "{\"hotKey\":{\"open\":\"Ctrl+K\"},\"merge\":true,\"proxy\":\"socks5://127.0.0.1:1080\","
                               "\"shortcut\":[1,\"two\",false],\"skinName\":\"dark\"}");
    }

    void skin()
    {
        Check<KKSkinEntity>("{\"skinName\":\"\"}", [](KKSkinEntity& e) { e.SetSkinName(QStringLiteral("light")); },
                            "{\"skinName\":\"light\"}");
    }
};

QTEST_GUILESS_MAIN(TestEntities)
#include "tst_entities.moc"
