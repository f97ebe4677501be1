// Uses the module and the host libraries only through their installed headers and package.
#include <PlatformKKWrapper/PlatformKKWrapperExport.h>
#include <VXFoundation/VXProcessMessage.h>

#include <cstdio>

int main()
{
    auto message = VXProcessMessage::Create(QStringLiteral("OpenUrl"));
    message->GetArgs() << QStringLiteral("https://example.com") << true;
    const auto parsed = VXProcessMessage::CreateFromString(message->ToString());
    if (!parsed || parsed->GetArgs().size() != 2)
        return 1;
    std::printf("%s\n", qPrintable(message->ToString()));
    return 0;
}
