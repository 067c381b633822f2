// SPDX-License-Identifier: GPL-3.0-or-later
#include "benchsupport.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const int kDigit = 63;

qint16 digitsValue(int low, int high)
{
    return qint16((high + 1) * 256 + (low + 1));
}

} // namespace

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

MachineCpu machineCpu()
{
    MachineCpu m;
    std::istringstream stat(readFile("/proc/stat"));
    std::string cpu;
    long long v[10] = {};
    stat >> cpu;
    for (long long &x : v)
        stat >> x;
    m.busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];   // user nice system irq softirq steal
    const std::string self = readFile("/proc/self/stat");
    const size_t close = self.rfind(')');
    std::istringstream fields(self.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15)
            m.self += std::atoll(field.c_str());
    }
    return m;
}

QString loadAverage()
{
    return QString::fromStdString(readFile("/proc/loadavg")).section(QLatin1Char(' '), 0, 2);
}

QString cpuModel()
{
    const std::string info = readFile("/proc/cpuinfo");
    const size_t at = info.find("model name");
    if (at == std::string::npos)
        return QStringLiteral("unknown");
    const size_t colon = info.find(':', at);
    return QString::fromStdString(info.substr(colon + 2, info.find('\n', colon) - colon - 2));
}

HubSimulator::Readings recordReadings(int index)
{
    HubSimulator::Readings r {};
    r[0] = digitsValue(index % kDigit, (index / kDigit) % kDigit);
    r[1] = digitsValue((index / (kDigit * kDigit)) % kDigit, (index / (kDigit * kDigit * kDigit)) % kDigit);
    // The other six move like distances, so every update changes the bars too.
    for (int k = 2; k < 8; ++k) {
        int v = 300 + (index * (k + 3) * 37 + k * 911) % 3500;
        const auto bad = [](int b) { return b == 'P' || b == 'H' || b == 'C'; };
        while (bad(v & 0xFF) || bad(v >> 8))
            ++v;
        r[k] = qint16(v);
    }
    return r;
}

int recordIndex(int s0, int s1)
{
    const int d[4] = {(s0 & 0xFF) - 1, (s0 >> 8) - 1, (s1 & 0xFF) - 1, (s1 >> 8) - 1};
    for (int x : d) {
        if (x < 0 || x >= kDigit)
            return -1;
    }
    const int index = d[0] + kDigit * (d[1] + kDigit * (d[2] + kDigit * d[3]));
    return index < kScriptLength ? index : -1;
}
