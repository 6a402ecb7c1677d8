// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store against the bare work it cannot avoid: reading a key's
// text line by line, and writing the nine key files of an instance with the
// same temporary-file, fsync and rename steps.
#include "settings/reg_file.h"
#include "settings/registry_key.h"
#include "settings/settings_io.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

// A temporary store holding one saved instance, removed at the end.
class TempStore {
public:
    TempStore()
    {
        std::string pattern = fs::temp_directory_path().string() + "/settings-bench-XXXXXX";
        if (!mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
        setenv("HOME", path_.c_str(), 1);
        CRegistryKey key(path_);
        SaveInstanceSettings(settings, key, 1, true);
        for (const auto& entry : fs::recursive_directory_iterator(path_))
            if (entry.path().filename() == "values.reg")
                files.push_back(entry.path());
    }
    ~TempStore() { fs::remove_all(path_); }

    const fs::path& path() const { return path_; }
    fs::path cameraKeyFile() const
    {
        return path_ / "HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera1/MuxedCamA/values.reg";
    }

    InstanceSettings settings;
    std::vector<fs::path> files; // the nine key files

private:
    fs::path path_;
};

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void BM_ParseCameraKey(benchmark::State& state)
{
    TempStore store;
    const std::string text = ReadAll(store.cameraKeyFile());
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseRegFile(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_ParseCameraKey);

// Baseline: splitting the same text into lines and finding each '='.
void BM_ParseBaseline_SplitLines(benchmark::State& state)
{
    TempStore store;
    const std::string text = ReadAll(store.cameraKeyFile());
    for (auto _ : state) {
        std::vector<std::string_view> parts;
        std::string_view rest = text;
        for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
            const std::string_view line = rest.substr(0, end);
            parts.push_back(line.substr(0, line.find('=')));
        }
        benchmark::DoNotOptimize(parts);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_ParseBaseline_SplitLines);

void BM_LoadAllSettings(benchmark::State& state)
{
    TempStore store;
    CRegistryKey key(store.path());
    for (auto _ : state) {
        InstanceSettings s;
        int32_t camView = 1;
        benchmark::DoNotOptimize(LoadInstanceSettings(s, key, camView));
    }
}
BENCHMARK(BM_LoadAllSettings)->Unit(benchmark::kMicrosecond);

// Baseline: reading the nine key files whole.
void BM_LoadBaseline_ReadNineFiles(benchmark::State& state)
{
    TempStore store;
    for (auto _ : state)
        for (const fs::path& file : store.files)
            benchmark::DoNotOptimize(ReadAll(file));
}
BENCHMARK(BM_LoadBaseline_ReadNineFiles)->Unit(benchmark::kMicrosecond);

// A full save where every key changed, so all nine files are replaced.
void BM_SaveAllSettings(benchmark::State& state)
{
    TempStore store;
    CRegistryKey key(store.path());
    int32_t round = 0;
    for (auto _ : state) {
        ++round;
        store.settings.SaveEvery = 1000 + round % 2;
        store.settings.TriggerLevel.fill(10 + round % 2);
        SaveInstanceSettings(store.settings, key, 1, true);
    }
}
BENCHMARK(BM_SaveAllSettings)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same values written one at a time, each replacing its key's file, as
// a store without batching would.
void BM_SaveValueByValue(benchmark::State& state)
{
    TempStore store;
    CRegistryKey key(store.path());
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    int32_t round = 0;
    for (auto _ : state) {
        ++round;
        key.SetKey(ProcessKeyPath(1), true);
        for (int v = 0; v < 8; ++v)
            key.WriteInt("P" + std::to_string(v), round);
        for (int camera = 0; camera < kCameraCount; ++camera) {
            key.SetKey(CameraKeyPath(1, camera), true);
            for (int v = 0; v < 25; ++v)
                key.WriteInt("C" + std::to_string(v), round);
        }
    }
}
BENCHMARK(BM_SaveValueByValue)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the nine files written with the same steps and no store around them.
void BM_SaveBaseline_NineFiles(benchmark::State& state)
{
    TempStore store;
    std::vector<std::string> texts;
    for (const fs::path& file : store.files)
        texts.push_back(ReadAll(file));
    for (auto _ : state) {
        for (size_t i = 0; i < store.files.size(); ++i) {
            const fs::path temp = store.files[i].parent_path() / ".bench.tmp";
            const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0 || ::write(fd, texts[i].data(), texts[i].size()) != ssize_t(texts[i].size()))
                std::abort();
            ::fsync(fd);
            ::close(fd);
            ::rename(temp.c_str(), store.files[i].c_str());
            const int dir = ::open(store.files[i].parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::fsync(dir);
            ::close(dir);
        }
    }
}
BENCHMARK(BM_SaveBaseline_NineFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace vistrel

BENCHMARK_MAIN();
