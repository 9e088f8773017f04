#include "klinkoptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace
{
constexpr int64_t MinQueueBytes = 64 << 10;

bool toNumber(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value) && value >= 0;
}

int64_t msToNs(double ms)
{
    return int64_t(std::llround(ms * 1e6));
}

// "host:port" or "port"; the host stays as it was when only a port is given.
bool toAddress(const std::string& text, std::string& host, int& port)
{
    const size_t colon = text.rfind(':');
    double number = 0;
    if (!toNumber(colon == std::string::npos ? text : text.substr(colon + 1), number) || number > 65535
        || number != std::floor(number))
        return false;
    if (colon != std::string::npos)
        host = text.substr(0, colon);
    port = int(number);
    return !host.empty();
}

void setRtt(KLinkOptions& o, double ms)
{
    o.up.delayNs = msToNs(ms / 2);
    o.down.delayNs = msToNs(ms) - o.up.delayNs;
}

void setRate(KLinkOptions& o, double mbit)
{
    o.up.bitsPerSecond = mbit * 1e6;
    o.down.bitsPerSecond = mbit * 1e6;
}

bool applyPreset(KLinkOptions& o, const std::string& name)
{
    static const std::map<std::string, std::pair<double, double>> presets{
        {"loopback", {0, 0}}, {"20ms-100mbit", {20, 100}}, {"60ms-20mbit", {60, 20}}};
    const auto preset = presets.find(name);
    if (preset == presets.end())
        return false;
    setRtt(o, preset->second.first);
    setRate(o, preset->second.second);
    return true;
}

using Setter = std::function<bool(KLinkOptions&, const std::string&)>;

// Options that take a value, by name.
const std::map<std::string, Setter>& valueOptions()
{
    static const std::map<std::string, Setter> table{
        {"--listen", [](KLinkOptions& o, const std::string& v) { return toAddress(v, o.listenHost, o.listenPort); }},
        {"--target", [](KLinkOptions& o, const std::string& v) { return toAddress(v, o.targetHost, o.targetPort) && o.targetPort > 0; }},
        {"--preset", applyPreset},
        {"--rtt", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (setRtt(o, x), true); }},
        {"--delay-up", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (o.up.delayNs = msToNs(x), true); }},
        {"--delay-down", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (o.down.delayNs = msToNs(x), true); }},
        {"--mbit", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (setRate(o, x), true); }},
        {"--up-mbit", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (o.up.bitsPerSecond = x * 1e6, true); }},
        {"--down-mbit", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (o.down.bitsPerSecond = x * 1e6, true); }},
        {"--conn-mbit", [](KLinkOptions& o, const std::string& v) { double x; return toNumber(v, x) && (o.connBitsPerSecond = x * 1e6, true); }},
        {"--queue-kib", [](KLinkOptions& o, const std::string& v) {
             double x;
             return toNumber(v, x) && x >= 1 && (o.up.queueBytes = o.down.queueBytes = int64_t(x * 1024), true);
         }},
        {"--window-kib", [](KLinkOptions& o, const std::string& v) {
             double x;
             return toNumber(v, x) && x >= 1 && (o.windowBytes = int64_t(x * 1024), true);
         }},
    };
    return table;
}

std::string describeDirection(const char* name, const KLinkDirection& d)
{
    std::ostringstream text;
    text << name << ' ' << d.delayNs / 1e6 << " ms ";
    if (d.bitsPerSecond > 0)
        text << d.bitsPerSecond / 1e6 << " Mbit/s queue " << d.queueBytes << " B";
    else
        text << "unlimited";
    return text.str();
}
} // namespace

void KLinkOptions::finish()
{
    const double rttSeconds = (up.delayNs + down.delayNs) / 1e9;
    for (KLinkDirection* d : {&up, &down}) {
        if (d->queueBytes == 0)
            d->queueBytes = std::max<int64_t>(MinQueueBytes, int64_t(d->bitsPerSecond / 8 * rttSeconds));
    }
}

std::string KLinkOptions::describe() const
{
    return describeDirection("up", up) + ", " + describeDirection("down", down)
           + (connBitsPerSecond > 0 ? ", per connection " + std::to_string(connBitsPerSecond / 1e6) + " Mbit/s" : "")
           + (handshake ? "" : ", no handshake cost");
}

std::string KLinkOptions::parse(const std::vector<std::string>& args, KLinkOptions& options)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--no-handshake") {
            options.handshake = false;
        } else if (name == "--exit-with-parent") {
            options.exitWithParent = true;
        } else {
            const auto option = valueOptions().find(name);
            if (option == valueOptions().end())
                return "unknown option " + name;
            if (i + 1 >= args.size() || !option->second(options, args[++i]))
                return name + " needs a valid value";
        }
    }
    if (options.targetPort == 0)
        return "--target HOST:PORT is required";
    options.finish();
    return std::string();
}

std::string KLinkOptions::usage()
{
    return "usage: wexora-linksim --target HOST:PORT [--listen [HOST:]PORT]\n"
           "    [--preset loopback|20ms-100mbit|60ms-20mbit] [--rtt MS] [--delay-up MS] [--delay-down MS]\n"
           "    [--mbit M] [--up-mbit M] [--down-mbit M] [--conn-mbit M] [--queue-kib K]\n"
           "    [--window-kib K] [--no-handshake] [--exit-with-parent]\n";
}
