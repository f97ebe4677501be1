#pragma once

#include "VXFoundation/VXProcessMessage.h"
#include "VXFrameData/KKTypes.h"

#include <QSharedPointer>
#include <QString>

class KKSettingEntity;

// One builder per request to the chat client: each makes a new message of the request's name
// and appends its arguments in order, each as a QVariant of the type given. Shared by the
// request wrapper (which sends them) and the manager (which caches three of them until the
// client is ready). Pure: they read host data where noted and change nothing.
//
//   builder                                   name                         arguments
//   MakeChangeSettingMessage                  "ChangeSetting"              bytes: the entity's JSON
//   MakeLoginMessage                          "Login"                      text pin, bool change-status,
//                                                                          int start-up status, text, text, bytes
//   MakeOpenKKWindowMessage                   "OpenKKWindow"               text pin (lower case), int user
//                                                                          type, text app id, text business data
//   MakeOpenKKGroupMessage                    "OpenKKGroup"                text, text
//   MakeOpenKKWorkbenchMessage                "JsOpenKKWorkbench"          text
//   MakeOpenBaseInfoSettingWindowMessage      "OpenBaseInfoSettingWindow"  -
//   MakeChangeStatusMessage                   "ChangeStatus"               int status
//   MakeShowUnreadMessageListMessage          "ShowUnreadMessageList"      bool, int, int, int, int
//   MakeChangeSkinMessage                     "ChangeSkin"                 bytes: {"skinName":...}
//   MakeNotifyChangedMessage                  "NotifyChanged"              text
//   MakeNotifyHasNewVersionMessage            "VXHasNewVersion"            -

QSharedPointer<VXProcessMessage> MakeChangeSettingMessage(const KKSettingEntity& setting);
// Reads, at the moment of building: the pin of VXGlobalData; the change-status flag and the
// start-up status of the frame data (IGeneralData's VXKKData); the two login values and the
// login bytes of ITcpManager.
QSharedPointer<VXProcessMessage> MakeLoginMessage();
QSharedPointer<VXProcessMessage> MakeOpenKKWindowMessage(const QString& strPin, KK_UserType userType,
                                                         const QString& strAppId, const QString& businessData);
QSharedPointer<VXProcessMessage> MakeOpenKKGroupMessage(const QString& first, const QString& second);
QSharedPointer<VXProcessMessage> MakeOpenKKWorkbenchMessage(const QString& value);
QSharedPointer<VXProcessMessage> MakeOpenBaseInfoSettingWindowMessage();
QSharedPointer<VXProcessMessage> MakeChangeStatusMessage(KK_Status status);
QSharedPointer<VXProcessMessage> MakeShowUnreadMessageListMessage(bool flag, int a, int b, int c, int d);
QSharedPointer<VXProcessMessage> MakeChangeSkinMessage(const QString& skinName);
QSharedPointer<VXProcessMessage> MakeNotifyChangedMessage(const QString& value);
QSharedPointer<VXProcessMessage> MakeNotifyHasNewVersionMessage();
