#include "PZUpdate/PZSdkPackageManage.h"

#include "YRBase/IConfigService.h"
#include "YRBase/YRRouterProtocol.h"

#include <QFileInfo>
#include <QMetaObject>

#include <atomic>
#include <mutex>

namespace {

const char kConfigServiceUri[] = "vx://config/object/service";
const char kExecutableKey[] = "kopkop_executable";

struct Scripts
{
    std::mutex mutex;  // protects queue
    QList<QList<PZSdkPackageManage::Step>> queue;
};

Scripts& TheScripts()
{
    static Scripts* scripts = new Scripts;
    return *scripts;
}

std::atomic<int> g_prepareCalls{0};

}  // namespace

PZSdkPackageManage::PZSdkPackageManage(SdkType type, QObject* parent) : QObject(parent), m_type(type)
{
    qRegisterMetaType<PZSdkPackageManage::PrepareState>();
}

PZSdkPackageManage::~PZSdkPackageManage() = default;

PZSdkPackageManage::SdkType PZSdkPackageManage::GetSdkType() const
{
    return m_type;
}

void PZSdkPackageManage::Prepare()
{
    ++g_prepareCalls;
    QList<Step> steps;
    bool scripted = false;
    {
        Scripts& scripts = TheScripts();
        std::lock_guard<std::mutex> lock(scripts.mutex);
        if (!scripts.queue.isEmpty()) {
            steps = scripts.queue.takeFirst();
            scripted = true;
        }
    }
    if (!scripted)
        steps = LookUpExecutable();
    // Queued, so that no report reaches a receiver while Prepare() is still on the stack.
    QMetaObject::invokeMethod(this, [this, steps] { PlayNext(steps); }, Qt::QueuedConnection);
}

void PZSdkPackageManage::PlayNext(QList<Step> steps)
{
    if (steps.isEmpty())
        return;
    const Step step = steps.takeFirst();
    if (!steps.isEmpty())
        QMetaObject::invokeMethod(this, [this, steps] { PlayNext(steps); }, Qt::QueuedConnection);
    emit SigPrepareStateChanged(step.first, step.second);
}

QList<PZSdkPackageManage::Step> PZSdkPackageManage::LookUpExecutable() const
{
    QList<Step> steps;
    if (m_type != SdkType_Kopkop) {
        steps.append({PrepareFailed, QStringLiteral("Unknown package type %1").arg(int(m_type))});
        return steps;
    }
    steps.append({PreparePending, QStringLiteral("Checking the Kopkop package")});

    QString path;
    if (auto* config = dynamic_cast<IConfigService*>(YRRouterProtocol(QLatin1String(kConfigServiceUri)).GetObj()))
        path = config->GetStringValue(QLatin1String(kExecutableKey), QString());
    if (path.isEmpty())
        path = qEnvironmentVariable("VX_KOPKOP_EXECUTABLE");

    if (path.isEmpty()) {
        steps.append({PrepareFailed,
                      QStringLiteral("The Kopkop executable is not configured: set \"%1\" in the host "
                                     "configuration or VX_KOPKOP_EXECUTABLE")
                          .arg(QLatin1String(kExecutableKey))});
        return steps;
    }
    const QFileInfo info(path);
    if (!info.exists())
        steps.append({PrepareFailed, QStringLiteral("The Kopkop executable %1 does not exist").arg(info.absoluteFilePath())});
    else if (info.isDir())
        steps.append({PrepareFailed, QStringLiteral("The Kopkop executable %1 is a directory").arg(info.absoluteFilePath())});
    else if (!info.isExecutable())
        steps.append({PrepareFailed, QStringLiteral("The Kopkop executable %1 is not executable").arg(info.absoluteFilePath())});
    else
        steps.append({PrepareFinished, info.absoluteFilePath()});
    return steps;
}

void PZSdkPackageManage::PushScript(const QList<Step>& steps)
{
    Scripts& scripts = TheScripts();
    std::lock_guard<std::mutex> lock(scripts.mutex);
    scripts.queue.append(steps);
}

void PZSdkPackageManage::ClearScripts()
{
    Scripts& scripts = TheScripts();
    std::lock_guard<std::mutex> lock(scripts.mutex);
    scripts.queue.clear();
}

int PZSdkPackageManage::PrepareCallCount()
{
    return g_prepareCalls.load();
}
