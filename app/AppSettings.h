#pragma once
#include <QByteArray>
#include <QString>

#include <optional>
#include <string>
#include <vector>

// What the desktop program keeps between runs, in one settings file under the
// user's configuration directory: the search list, the window geometry and
// the protocol pacing.
class CAppSettings {
public:
    // $XDG_CONFIG_HOME/brevane/brevane.conf (~/.config when unset).
    static QString DefaultFile();

    explicit CAppSettings(QString file) : m_file(std::move(file)) {}
    const QString& File() const { return m_file; }

    // The stored search list, keeping only names that are still offered, in
    // the stored order; nullopt when none was ever stored.
    std::optional<std::vector<std::string>> SearchList(const std::vector<std::string>& offered) const;
    void SetSearchList(const std::vector<std::string>& names) const;

    // Original timing: every fixed protocol wait sat out in full (false when
    // never stored: paced waits).
    bool OriginalTiming() const;
    void SetOriginalTiming(bool original) const;

    std::optional<QByteArray> Geometry() const;
    void SetGeometry(const QByteArray& geometry) const;

private:
    QString m_file;
};
