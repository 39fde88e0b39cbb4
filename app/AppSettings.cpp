#include "AppSettings.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>

namespace {
const char* const kSearchListKey = "search/list";
const char* const kGeometryKey = "window/geometry";
const char* const kOriginalTimingKey = "search/originalTiming";
}  // namespace

QString CAppSettings::DefaultFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/brevane/brevane.conf");
}

std::optional<std::vector<std::string>> CAppSettings::SearchList(const std::vector<std::string>& offered) const {
    QSettings s(m_file, QSettings::IniFormat);
    if (!s.contains(kSearchListKey)) return std::nullopt;
    std::vector<std::string> names;
    for (const QString& n : s.value(kSearchListKey).toStringList()) {
        // Names are kept as the registry spells them, one byte per character.
        const std::string name = n.toLatin1().toStdString();
        if (std::find(offered.begin(), offered.end(), name) != offered.end() &&
            std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

void CAppSettings::SetSearchList(const std::vector<std::string>& names) const {
    QSettings s(m_file, QSettings::IniFormat);
    QStringList list;
    for (const auto& n : names) list << QString::fromLatin1(n.data(), static_cast<qsizetype>(n.size()));
    s.setValue(kSearchListKey, list);
    s.sync();
}

std::optional<QByteArray> CAppSettings::Geometry() const {
    QSettings s(m_file, QSettings::IniFormat);
    if (!s.contains(kGeometryKey)) return std::nullopt;
    return s.value(kGeometryKey).toByteArray();
}

void CAppSettings::SetGeometry(const QByteArray& geometry) const {
    QSettings s(m_file, QSettings::IniFormat);
    s.setValue(kGeometryKey, geometry);
    s.sync();
}

bool CAppSettings::OriginalTiming() const {
    QSettings s(m_file, QSettings::IniFormat);
    return s.value(kOriginalTimingKey, false).toBool();
}

void CAppSettings::SetOriginalTiming(bool original) const {
    QSettings s(m_file, QSettings::IniFormat);
    s.setValue(kOriginalTimingKey, original);
    s.sync();
}
