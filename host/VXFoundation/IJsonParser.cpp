#include "VXFoundation/IJsonParser.h"

#include <QJsonDocument>
#include <QMetaProperty>

IJsonParser::IJsonParser(QObject* parent) : QObject(parent) {}

IJsonParser::IJsonParser(const IJsonParser& /*other*/) : QObject(nullptr) {}

IJsonParser& IJsonParser::operator=(const IJsonParser& /*other*/)
{
    return *this;
}

IJsonParser::~IJsonParser() = default;

QByteArray IJsonParser::ToJson() const
{
    return QJsonDocument(JoinToJson()).toJson(QJsonDocument::Compact);
}

bool IJsonParser::FromJson(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (document.isObject())
        return JsonParseObject(document.object());
    if (document.isArray())
        return JsonParseArray(document.array());
    return false;
}

bool IJsonParser::JsonParseSpecial(const QString& /*key*/, const QJsonValue& /*value*/)
{
    return false;
}

bool IJsonParser::JsonParseObject(const QJsonObject& object)
{
    const QMetaObject* meta = metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        const QString key = QLatin1String(property.name());
        const auto it = object.constFind(key);
        if (it == object.constEnd() || JsonParseSpecial(key, it.value()))
            continue;
        if (property.userType() == qMetaTypeId<QJsonValue>())
            property.write(this, QVariant::fromValue(it.value()));
        else
            property.write(this, it.value().toVariant());
    }
    return true;
}

bool IJsonParser::JsonParseArray(const QJsonArray& /*array*/)
{
    return false;
}

bool IJsonParser::ToJsonSpecial(const QString& /*key*/, QJsonValue& /*value*/) const
{
    return false;
}

QJsonObject IJsonParser::JoinToJson() const
{
    QJsonObject object;
    const QMetaObject* meta = metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        const QString key = QLatin1String(property.name());
        QJsonValue value;
        if (!ToJsonSpecial(key, value)) {
            const QVariant variant = property.read(this);
            if (property.userType() == qMetaTypeId<QJsonValue>())
                value = variant.value<QJsonValue>();
            else if (property.userType() == QMetaType::QByteArray)
                value = QString::fromUtf8(variant.toByteArray());
            else
                value = QJsonValue::fromVariant(variant);
        }
        object.insert(key, value);
    }
    return object;
}
