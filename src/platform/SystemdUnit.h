#pragma once
#include <string>

namespace norvane {

// Installing the service means writing its systemd unit file; these functions are the
// only place that knows the file's folder and layout.

// Folder of unit files: $NORVANE_SYSTEMD_DIR when set (tests), else /etc/systemd/system.
std::string systemd_unit_folder();
// Full path of the unit file of a service name ("NorvaneSiTefService.service").
std::string systemd_unit_path(const std::string& service_name);

// The unit of the service whose executable is `executable` (an absolute path): the one
// text the package installs, with the service folder and executable filled in.
std::string systemd_unit_text(const std::string& executable);
// Writes that unit. Returns false with a reason when the file cannot be written, or when
// the executable's path has characters a unit file would read otherwise (blanks, quotes,
// "%", "\\").
bool write_systemd_unit(const std::string& service_name, const std::string& executable,
                        std::string& error);
// Sets Description= in the [Unit] section of an existing unit; nothing happens (false)
// when there is no unit file.
bool set_systemd_unit_description(const std::string& service_name,
                                  const std::string& description);
// Removes the unit file; false with a reason when it was there and could not be removed.
bool remove_systemd_unit(const std::string& service_name, std::string& error);

}  // namespace norvane
