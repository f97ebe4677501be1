#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>

// Base of the host's value objects whose fields are Qt properties: writes them as one JSON object
// and fills them from one.
//
// JSON form: one key per Qt property that the subclasses declare (QObject's own "objectName" is
// not part of it), named exactly as the property. Texts are JSON strings, integers numbers,
// bools true/false, a QJsonValue property is that value itself (null, object, array, ...), a
// QByteArray is its UTF-8 text, other types go through QJsonValue::fromVariant. Keys appear in
// alphabetical order (a JSON object has no order; this one is QJsonObject's); the text is compact
// (no spaces, no line breaks).
//
// Copying copies the properties' values only: a copy has no QObject parent and no objectName,
// whatever the original had. The hooks below let a subclass treat single keys specially; the
// host's entities override none of them.
//
// Lives in the thread that created it, like any QObject; not thread-safe.
class VXFOUNDATION_EXPORT IJsonParser : public QObject
{
    Q_OBJECT
public:
    explicit IJsonParser(QObject* parent = nullptr);
    IJsonParser(const IJsonParser& other);
    IJsonParser& operator=(const IJsonParser& other);
    ~IJsonParser() override;

    // The object's properties as compact JSON bytes.
    QByteArray ToJson() const;
    // Sets every property whose key is present in `json` (an object); false if `json` is not a
    // JSON object. Unknown keys are ignored.
    bool FromJson(const QByteArray& json);

protected:
    // A chance to read one key in a special way; return true when handled.
    virtual bool JsonParseSpecial(const QString& key, const QJsonValue& value);
    // Fills the properties from an object; the default sets each property from its key.
    virtual bool JsonParseObject(const QJsonObject& object);
    // Fills the object from an array; the default refuses arrays.
    virtual bool JsonParseArray(const QJsonArray& array);
    // A chance to write one key in a special way; return true when `value` was set.
    virtual bool ToJsonSpecial(const QString& key, QJsonValue& value) const;
    // Builds the JSON object of all properties.
    virtual QJsonObject JoinToJson() const;
};
