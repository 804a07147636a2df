#include "midi/device_watch.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tovra::midi {
namespace {

namespace fs = std::filesystem;
using Systems = std::set<MidiSystem>;

struct Places {
    testing::TempDir root;
    fs::path devices = root / "dev";
    fs::path sockets = root / "shm";
    fs::path runtime = root / "run";
    Places()
    {
        for (const auto& folder : {devices, sockets, runtime}) {
            fs::create_directories(folder);
        }
    }
    DeviceWatch::Places places() const
    {
        return {devices, sockets, DeviceWatch::jackSocketName("tovra", 1000), runtime};
    }
};

TEST(DeviceWatch, TheSequencerIsSeenAppearingWithItsFolderInItAndWhenOpenedToTheUser)
{
    Places places;
    DeviceWatch watch(places.places());
    ASSERT_EQ(watch.problem(), std::nullopt);
    EXPECT_EQ(watch.readChanges(), Systems{});
    fs::create_directory(places.devices / "snd");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::alsa}) << "the folder";
    testing::writeFile(places.devices / "snd" / "controlC0", "");
    testing::writeFile(places.devices / "other", "");
    EXPECT_EQ(watch.readChanges(), Systems{}) << "other devices";
    testing::writeFile(places.devices / "snd" / "seq", "");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::alsa}) << "the device";
    fs::permissions(places.devices / "snd" / "seq", fs::perms::owner_all);
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::alsa}) << "its permissions";
    // The folder goes and comes back: watched again.
    fs::remove_all(places.devices / "snd");
    EXPECT_EQ(watch.readChanges(), Systems{});
    fs::create_directory(places.devices / "snd");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::alsa});
    testing::writeFile(places.devices / "snd" / "seq", "");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::alsa});
}

TEST(DeviceWatch, AJackServerIsSeenByItsOwnSocketOrPipeWiresOnly)
{
    Places places;
    DeviceWatch watch(places.places());
    for (const char* name : {"jack_tovra_0_0", "jack_other_1000_0", "jack_tovra_1000_0.new"}) {
        testing::writeFile(places.sockets / name, "");
    }
    testing::writeFile(places.runtime / "bus", "");
    EXPECT_EQ(watch.readChanges(), Systems{});
    testing::writeFile(places.root / "moved", "");
    fs::rename(places.root / "moved", places.sockets / "jack_tovra_1000_0");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::jack}) << "the server's socket";
    testing::writeFile(places.runtime / "pipewire-0", "");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::jack}) << "PipeWire's";
    EXPECT_EQ(DeviceWatch::jackSocketName("", 1000), "jack_default_1000_0");
}

TEST(DeviceWatch, AFolderThatCannotBeWatchedIsNamedAndTheRestStillWorks)
{
    Places places;
    fs::remove(places.runtime);
    DeviceWatch watch(places.places());
    ASSERT_TRUE(watch.problem().has_value());
    EXPECT_EQ(*watch.problem(),
              "cannot watch " + places.runtime.string() + " for MIDI systems: No such file or directory");
    testing::writeFile(places.sockets / "jack_tovra_1000_0", "");
    EXPECT_EQ(watch.readChanges(), Systems{MidiSystem::jack});
}

} // namespace
} // namespace tovra::midi
