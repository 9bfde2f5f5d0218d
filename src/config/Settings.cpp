#include "config/Settings.h"

#include <algorithm>

#include "core/Helpers.h"

namespace qvm {

bool Configuration::operator==(const Configuration& other) const {
    const auto sameEntry = [](const std::shared_ptr<ChannelSettings>& a,
                              const std::shared_ptr<ChannelSettings>& b) {
        return a && b ? *a == *b : a == b;
    };
    return settings == other.settings && pluginPath == other.pluginPath &&
           pluginFiles == other.pluginFiles &&
           std::equal(channels.begin(), channels.end(), other.channels.begin(),
                      other.channels.end(), sameEntry);
}

std::optional<int> SampleRateForIndex(int index) {
    if (index < 0 || index >= static_cast<int>(kSampleRates.size())) {
        return std::nullopt;
    }
    return kSampleRates[static_cast<std::size_t>(index)];
}

void LimitTexts(PlayerSettings& settings) {
    settings.Device = CutUtf8(settings.Device, kLongTextBytes);
    for (QString* text : {&settings.Language, &settings.RunOnChange, &settings.RunOnRestore,
                          &settings.HTTPUser, &settings.HTTPPass}) {
        *text = CutUtf8(*text, kShortTextBytes);
    }
}

void LimitTexts(ChannelSettings& channel) {
    channel.URL = CutUtf8(channel.URL, kLongTextBytes);
}

void LimitTexts(Configuration& config) {
    LimitTexts(config.settings);
    for (const std::shared_ptr<ChannelSettings>& channel : config.channels) {
        if (channel) {
            LimitTexts(*channel);
        }
    }
    config.pluginPath = CutUtf8(config.pluginPath, kLongTextBytes);
}

}  // namespace qvm
