// A catalogue answer of 20,000 models: handled by FbbModelList with the sign-up window shown
// offscreen, against parsing the same answer alone. Target: handling at most 3x the parse.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <chrono>

#include "account/catalogue.h"
#include "account/catalogue_table.h"
#include "account/tfmember.h"
#include "app/tfmain.h"
#include "app/widgets.h"
#include "service/json_answer.h"
#include "support/controls.h"
#include "support/fake_platform.h"
#include "support/test_server.h"
#include "ui_tfmain.h"
#include "ui_tfmember.h"

namespace {

QString catalogueAnswer(int models) {
    QString json = QStringLiteral("{\"flag\":\"true\",\"list\":[");
    for (int i = 0; i < models; ++i) {
        if (i > 0)
            json += QLatin1Char(',');
        json += QStringLiteral("{\"bInfo_IDX\":\"%1\",\"bInfo_modelName\":\"MODEL-%1 블랙박스\"}")
                    .arg(1000 + i);
    }
    json += QStringLiteral("]}");
    return json;
}

const QString& answer() {
    static const QString text = catalogueAnswer(20000);
    return text;
}

void BM_ParseAlone(benchmark::State& state) {
    for (auto _ : state) {
        auto parsed = JsonAnswer::parse(answer());
        benchmark::DoNotOptimize(parsed);
    }
}

// What the handling adds to the parse, step by step: reading the models out of the parsed
// answer, and storing them in the table.
void BM_DecodeAlone(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeCatalogue(answer()));
}

void BM_StoreAlone(benchmark::State& state) {
    const CatalogueAnswer decoded = *decodeCatalogue(answer());
    for (auto _ : state) {
        state.PauseTiming();
        UI(FMain, StringGrid1)->setGridRowCount(1);
        state.ResumeTiming();
        storeCatalogue(*UI(FMain, StringGrid1), decoded);
    }
}

// The table and the drop-down start empty, as for the first sign-up window of a run.
void BM_FbbModelListFresh(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        UI(FMain, StringGrid1)->setGridRowCount(1);
        UI(FMember, ComboBox2)->clear();
        state.ResumeTiming();
        benchmark::DoNotOptimize(FMain->FbbModelList(answer()));
    }
    state.counters["rows"] = UI(FMain, StringGrid1)->gridRowCount();
    state.counters["items"] = UI(FMember, ComboBox2)->count();
}

// The table already holds a full catalogue, as for a later sign-up window.
void BM_FbbModelListReplacing(benchmark::State& state) {
    FMain->FbbModelList(answer());
    for (auto _ : state)
        benchmark::DoNotOptimize(FMain->FbbModelList(answer()));
}

// Both in the same iteration, so that they meet the same state of the heap: the parse alone
// is timed on a loop of its own too, where it reuses the memory it has just freed.
void BM_HandlingOverParse(benchmark::State& state) {
    double parseSeconds = 0;
    double handlingSeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        UI(FMain, StringGrid1)->setGridRowCount(1);
        UI(FMember, ComboBox2)->clear();
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(JsonAnswer::parse(answer()));
        auto middle = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(FMain->FbbModelList(answer()));
        auto end = std::chrono::steady_clock::now();
        parseSeconds += std::chrono::duration<double>(middle - start).count();
        handlingSeconds += std::chrono::duration<double>(end - middle).count();
    }
    state.counters["parse_ms"] = benchmark::Counter(parseSeconds * 1e3 / state.iterations());
    state.counters["handling_ms"] = benchmark::Counter(handlingSeconds * 1e3 / state.iterations());
    state.counters["ratio"] = benchmark::Counter(handlingSeconds / parseSeconds);
}

BENCHMARK(BM_ParseAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FbbModelListFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FbbModelListReplacing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandlingOverParse)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    FakePlatform fake;
    TestServer server;
    server.answer("/mobile/back_c/device_add_getproduct.search", R"({"list":[]})");
    server.start();
    ConfigOverride config(server.host());
    TFMain mainWindow;
    TFMember member;
    member.show();
    QApplication::processEvents();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
