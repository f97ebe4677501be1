// Microbenchmarks (Google Benchmark) of the pure pieces on every message's path: the message text
// form both ways and the frame reassembly. kk-bench measures the module end to end.

#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "PlatformKKWrapper/VXPipeFrame.h"
#include "VXFoundation/VXProcessMessage.h"

#include <benchmark/benchmark.h>

namespace {

QSharedPointer<VXProcessMessage> TextMessage(int size)
{
    auto message = VXProcessMessage::Create(QStringLiteral("BaseInfoChanged"));
    message->GetArgs().append(QString(qMax(0, size - 24), QLatin1Char('x')));
    return message;
}

void WriteTextForm(benchmark::State& state)
{
    const auto message = TextMessage(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(message->ToString().toUtf8());
    state.SetItemsProcessed(state.iterations());
}

void ReadTextForm(benchmark::State& state)
{
    const QByteArray payload = TextMessage(int(state.range(0)))->ToString().toUtf8();
    for (auto _ : state)
        benchmark::DoNotOptimize(VXProcessMessage::CreateFromString(QString::fromUtf8(payload)));
    state.SetItemsProcessed(state.iterations());
}

void BuildOpenKKWindow(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(MakeOpenKKWindowMessage(QStringLiteral("Buyer_0815"), KK_UserType_Customer,
                                                         QStringLiteral("app-7"), QStringLiteral("{\"orderId\":42}"))
                                     ->ToString());
    }
    state.SetItemsProcessed(state.iterations());
}

// Frames of `range(0)` bytes arriving in 2048-byte reads, as the receiver gets them.
void ReassembleFrames(benchmark::State& state)
{
    const int size = int(state.range(0));
    QByteArray stream;
    const int frames = qMax(1, (1 << 20) / (size + 4));
    for (int i = 0; i < frames; ++i)
        stream += VXPipeFrame::Pack(QByteArray(size, 'x'));
    for (auto _ : state) {
        QByteArray buffer;
        int payloads = 0;
        for (int offset = 0; offset < stream.size(); offset += 2048) {
            VXPipeFrame::Reassemble(buffer, stream.constData() + offset, qMin(2048, stream.size() - offset),
                                    [&payloads](const QByteArray&) { ++payloads; });
        }
        benchmark::DoNotOptimize(payloads);
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.SetBytesProcessed(state.iterations() * stream.size());
}

}  // namespace

BENCHMARK(WriteTextForm)->Arg(100)->Arg(64 * 1024);
BENCHMARK(ReadTextForm)->Arg(100)->Arg(64 * 1024);
BENCHMARK(BuildOpenKKWindow);
BENCHMARK(ReassembleFrames)->Arg(100)->Arg(64 * 1024);

BENCHMARK_MAIN();
