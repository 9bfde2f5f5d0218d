#include "dsp/Ladspa.h"

#include <dlfcn.h>
#include <ladspa.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cmath>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "core/Helpers.h"
#include "dsp/LastDlError.h"

namespace qvm {
namespace {

// Instances kept per plug-in: the streams that take the air in turn rarely
// have more than two formats between them.
constexpr std::size_t kKeptInstances = 4;
// Range of a side the plug-in leaves unbounded, and the rate that scales
// bounds given as fractions of the sample rate (the values the dialog shows).
constexpr float kUnbounded = 10000.0f;
constexpr float kNominalRate = 48000.0f;

float Mix(float low, float high, float highShare, bool logarithmic) {
    if (logarithmic && low > 0.0f && high > 0.0f) {
        return std::exp(std::log(low) * (1.0f - highShare) + std::log(high) * highShare);
    }
    return low * (1.0f - highShare) + high * highShare;
}

LadspaControl DescribeControl(const LADSPA_Descriptor& d, unsigned long port) {
    const LADSPA_PortRangeHint& hint = d.PortRangeHints[port];
    const LADSPA_PortRangeHintDescriptor h = hint.HintDescriptor;
    LadspaControl c;
    c.name = QString::fromUtf8(d.PortNames[port]).trimmed();
    c.toggled = LADSPA_IS_HINT_TOGGLED(h);
    c.integer = LADSPA_IS_HINT_INTEGER(h);
    c.logarithmic = LADSPA_IS_HINT_LOGARITHMIC(h);
    const float scale = LADSPA_IS_HINT_SAMPLE_RATE(h) ? kNominalRate : 1.0f;
    const bool below = LADSPA_IS_HINT_BOUNDED_BELOW(h);
    const bool above = LADSPA_IS_HINT_BOUNDED_ABOVE(h);
    c.minimum = below ? hint.LowerBound * scale : -kUnbounded;
    c.maximum = above ? hint.UpperBound * scale : kUnbounded;
    if (c.toggled) {
        c.minimum = 0.0f;
        c.maximum = 1.0f;
    }
    if (c.maximum < c.minimum) {
        std::swap(c.minimum, c.maximum);
    }
    float def = below ? c.minimum : (above ? c.maximum : 0.0f);
    switch (h & LADSPA_HINT_DEFAULT_MASK) {
        case LADSPA_HINT_DEFAULT_MINIMUM:
            def = c.minimum;
            break;
        case LADSPA_HINT_DEFAULT_LOW:
            def = Mix(c.minimum, c.maximum, 0.25f, c.logarithmic);
            break;
        case LADSPA_HINT_DEFAULT_MIDDLE:
            def = Mix(c.minimum, c.maximum, 0.5f, c.logarithmic);
            break;
        case LADSPA_HINT_DEFAULT_HIGH:
            def = Mix(c.minimum, c.maximum, 0.75f, c.logarithmic);
            break;
        case LADSPA_HINT_DEFAULT_MAXIMUM:
            def = c.maximum;
            break;
        case LADSPA_HINT_DEFAULT_0:
            def = 0.0f;
            break;
        case LADSPA_HINT_DEFAULT_1:
            def = 1.0f;
            break;
        case LADSPA_HINT_DEFAULT_100:
            def = 100.0f;
            break;
        case LADSPA_HINT_DEFAULT_440:
            def = 440.0f;
            break;
        default:
            break;
    }
    if (c.integer || c.toggled) {
        def = std::round(def);
    }
    c.defaultValue = std::clamp(def, c.minimum, c.maximum);
    return c;
}

// Filters ringing out into silence reach denormal floats, which cost some
// processors a hundredfold per operation: flushed to zero while a plug-in runs.
class FlushDenormals {
  public:
#if defined(__SSE__)
    FlushDenormals() : m_saved(_mm_getcsr()) {
        _mm_setcsr(m_saved | 0x8040);
    }
    ~FlushDenormals() {
        _mm_setcsr(m_saved);
    }

  private:
    unsigned int m_saved;
#endif
};

std::int16_t ToSample(float v) {
    if (!(v == v)) {  // NaN: a plug-in gone wrong plays silence, not noise
        return 0;
    }
    const float scaled = v * 32768.0f;
    return static_cast<std::int16_t>(std::lrint(std::clamp(scaled, -32768.0f, 32767.0f)));
}

}  // namespace

QStringList LadspaFolders() {
    const QString path = qEnvironmentVariable("LADSPA_PATH");
    if (!path.isEmpty()) {
        return path.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    }
    return {QStringLiteral("/usr/local/lib/ladspa"), QStringLiteral("/usr/lib/ladspa"),
            QStringLiteral("/usr/lib/x86_64-linux-gnu/ladspa")};
}

bool IsLadspaName(const QString& name) {
    const qsizetype colon = name.lastIndexOf(QLatin1Char(':'));
    return colon > 0 && colon + 1 < name.size();
}

QStringList ListLadspaPlugins(const QStringList& folders) {
    QStringList out;
    QSet<QString> seen;
    for (const QString& folder : folders) {
        const QFileInfoList files = QDir(folder).entryInfoList(
            {QStringLiteral("*.so")}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo& file : files) {
            if (seen.contains(file.fileName())) {
                continue;
            }
            seen.insert(file.fileName());
            void* library =
                dlopen(file.absoluteFilePath().toUtf8().constData(), RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr) {
                continue;
            }
            if (auto* get = reinterpret_cast<LADSPA_Descriptor_Function>(
                    dlsym(library, "ladspa_descriptor"))) {
                for (unsigned long i = 0;; ++i) {
                    const LADSPA_Descriptor* d = get(i);
                    if (d == nullptr) {
                        break;
                    }
                    if (d->Label != nullptr) {
                        out.append(file.fileName() + QLatin1Char(':') +
                                   QString::fromUtf8(d->Label));
                    }
                }
            }
            dlclose(library);
        }
    }
    return out;
}

LadspaLoad LoadLadspaPlugin(const QString& name) {
    LadspaLoad load;
    const qsizetype colon = name.lastIndexOf(QLatin1Char(':'));
    const QString file = name.left(colon);
    const QByteArray label = name.mid(colon + 1).toUtf8();
    QString path;
    for (const QString& folder : LadspaFolders()) {
        const QString candidate = AddTrailingBackslash(folder) + file;
        if (QFileInfo(candidate).isFile()) {
            path = candidate;
            break;
        }
    }
    if (path.isEmpty() || file.contains(QLatin1Char('/'))) {
        load.error = QStringLiteral("no LADSPA library %1 in %2")
                         .arg(file, LadspaFolders().join(QLatin1Char(':')));
        return load;
    }
    void* library = dlopen(path.toUtf8().constData(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        load.error = LastDlError();
        return load;
    }
    const LADSPA_Descriptor* descriptor = nullptr;
    if (auto* get =
            reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(library, "ladspa_descriptor"))) {
        for (unsigned long i = 0; const LADSPA_Descriptor* d = get(i); ++i) {
            if (d->Label != nullptr && label == d->Label) {
                descriptor = d;
                break;
            }
        }
    }
    if (descriptor == nullptr) {
        load.error =
            QStringLiteral("%1 has no LADSPA plug-in %2").arg(file, QString::fromUtf8(label));
    } else {
        load.effect = LadspaEffect::Create(descriptor, &load.error);
    }
    if (!load.effect) {
        dlclose(library);
        return load;
    }
    load.library = library;
    return load;
}

LadspaEffect::LadspaEffect(const LADSPA_Descriptor* descriptor) : m_descriptor(descriptor) {}

std::shared_ptr<LadspaEffect> LadspaEffect::Create(const LADSPA_Descriptor* d, QString* why) {
    if (d == nullptr || d->instantiate == nullptr || d->connect_port == nullptr ||
        d->run == nullptr || d->cleanup == nullptr) {
        *why = QStringLiteral("not a usable LADSPA descriptor");
        return nullptr;
    }
    std::shared_ptr<LadspaEffect> effect(new LadspaEffect(d));
    for (unsigned long port = 0; port < d->PortCount; ++port) {
        const LADSPA_PortDescriptor p = d->PortDescriptors[port];
        if (LADSPA_IS_PORT_AUDIO(p)) {
            (LADSPA_IS_PORT_INPUT(p) ? effect->m_audioIn : effect->m_audioOut).push_back(port);
        } else if (LADSPA_IS_PORT_CONTROL(p) && LADSPA_IS_PORT_INPUT(p)) {
            effect->m_controlIn.push_back(port);
            effect->m_controls.push_back(DescribeControl(*d, port));
        }
    }
    const std::size_t ins = effect->m_audioIn.size();
    if ((ins != 1 && ins != 2) || effect->m_audioOut.size() != ins) {
        *why = QStringLiteral(
                   "has %1 audio inputs and %2 outputs; one and one or two and two "
                   "can run")
                   .arg(ins)
                   .arg(effect->m_audioOut.size());
        return nullptr;
    }
    effect->m_portValues = std::make_unique<float[]>(d->PortCount);
    effect->m_values = std::make_unique<std::atomic<float>[]>(effect->m_controls.size());
    for (std::size_t i = 0; i < effect->m_controls.size(); ++i) {
        effect->m_values[i].store(effect->m_controls[i].defaultValue, std::memory_order_relaxed);
    }
    return effect;
}

LadspaEffect::~LadspaEffect() {
    for (Instance& instance : m_instances) {
        destroy(instance);
    }
}

QString LadspaEffect::title() const {
    return QString::fromUtf8(m_descriptor->Name != nullptr ? m_descriptor->Name
                                                           : m_descriptor->Label);
}

float LadspaEffect::value(std::size_t control) const {
    return control < m_controls.size() ? m_values[control].load(std::memory_order_relaxed) : 0.0f;
}

void LadspaEffect::setValue(std::size_t control, float value) {
    if (control >= m_controls.size() || !(value == value)) {
        return;
    }
    const LadspaControl& c = m_controls[control];
    float v = std::clamp(value, c.minimum, c.maximum);
    if (c.integer || c.toggled) {
        v = std::round(v);
    }
    m_values[control].store(v, std::memory_order_relaxed);
}

void LadspaEffect::destroy(Instance& instance) {
    for (void* handle : instance.handles) {
        if (m_descriptor->deactivate != nullptr) {
            m_descriptor->deactivate(handle);
        }
        m_descriptor->cleanup(handle);
    }
    instance.handles.clear();
}

LadspaEffect::Instance* LadspaEffect::instanceFor(std::uint32_t rate, std::uint32_t chans) {
    const auto found = std::find_if(m_instances.begin(), m_instances.end(), [&](const Instance& i) {
        return i.rate == rate && i.chans == chans;
    });
    if (found != m_instances.end()) {
        std::rotate(m_instances.begin(), found, found + 1);
        return &m_instances.front();
    }
    // A new format on air: instantiating allocates, but only at a switch to a
    // stream of a rate or channel count not heard before.
    Instance made;
    made.rate = rate;
    made.chans = chans;
    const std::uint32_t count = m_audioIn.size() == 1 ? chans : 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        void* handle = m_descriptor->instantiate(m_descriptor, rate);
        if (handle == nullptr) {
            destroy(made);
            return nullptr;
        }
        for (unsigned long port = 0; port < m_descriptor->PortCount; ++port) {
            if (LADSPA_IS_PORT_CONTROL(m_descriptor->PortDescriptors[port])) {
                m_descriptor->connect_port(handle, port, &m_portValues[port]);
            }
        }
        if (m_descriptor->activate != nullptr) {
            m_descriptor->activate(handle);
        }
        made.handles.push_back(handle);
    }
    if (m_instances.size() >= kKeptInstances) {
        destroy(m_instances.back());
        m_instances.pop_back();
    }
    m_instances.insert(m_instances.begin(), std::move(made));
    return &m_instances.front();
}

void LadspaEffect::Process(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
                           std::uint32_t chans) {
    Instance* instance = instanceFor(rate, chans);
    if (instance == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < m_controlIn.size(); ++i) {
        m_portValues[m_controlIn[i]] = m_values[i].load(std::memory_order_relaxed);
    }
    const std::size_t count = std::size_t{frames} * chans;
    for (auto* buffers : {m_in, m_out}) {
        for (int b = 0; b < 2; ++b) {
            if (buffers[b].size() < frames) {
                buffers[b].resize(frames);
            }
        }
    }
    if (m_work.size() < count) {
        m_work.resize(count);
    }
    constexpr float kScale = 1.0f / 32768.0f;
    const LADSPA_Descriptor& d = *m_descriptor;
    const FlushDenormals flush;
    if (m_audioIn.size() == 1) {
        for (std::uint32_t c = 0; c < chans; ++c) {
            for (std::uint32_t f = 0; f < frames; ++f) {
                m_in[0][f] = samples[f * chans + c] * kScale;
            }
            void* handle = instance->handles[c];
            d.connect_port(handle, m_audioIn[0], m_in[0].data());
            d.connect_port(handle, m_audioOut[0], m_out[0].data());
            d.run(handle, frames);
            for (std::uint32_t f = 0; f < frames; ++f) {
                m_work[f * chans + c] = m_out[0][f];
            }
        }
    } else {
        const std::uint32_t right = chans > 1 ? 1 : 0;
        for (std::size_t i = 0; i < count; ++i) {
            m_work[i] = samples[i] * kScale;
        }
        for (std::uint32_t f = 0; f < frames; ++f) {
            m_in[0][f] = m_work[f * chans];
            m_in[1][f] = m_work[f * chans + right];
        }
        void* handle = instance->handles[0];
        for (int b = 0; b < 2; ++b) {
            d.connect_port(handle, m_audioIn[b], m_in[b].data());
            d.connect_port(handle, m_audioOut[b], m_out[b].data());
        }
        d.run(handle, frames);
        for (std::uint32_t f = 0; f < frames; ++f) {
            if (chans == 1) {
                m_work[f] = 0.5f * (m_out[0][f] + m_out[1][f]);
            } else {
                m_work[f * chans] = m_out[0][f];
                m_work[f * chans + 1] = m_out[1][f];
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = ToSample(m_work[i]);
    }
}

}  // namespace qvm
