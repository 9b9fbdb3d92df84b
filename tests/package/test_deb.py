"""The .deb's files, modes and control fields. Its unit is rated and run under a real systemd by
systemd_container.sh."""
import re
import subprocess


def dpkg_deb(*args):
    return subprocess.run(["dpkg-deb", *args], check=True, capture_output=True, text=True).stdout


def entries(deb):
    # "-rwxr-xr-x root/root 123 2026-01-01 00:00 ./usr/sbin/VantorWebSrv"
    listing = {}
    for line in dpkg_deb("-c", deb).splitlines():
        fields = line.split()
        listing[fields[5].lstrip(".")] = (fields[0], fields[1])
    return listing


def test_files_modes_control_fields_and_scripts(deb):
    listing = entries(deb)
    expected = {
        "/usr/sbin/VantorWebSrv": "-rwxr-xr-x",
        "/usr/bin/vantor-console": "-rwxr-xr-x",
        "/lib/systemd/system/vantor-web.service": "-rw-r--r--",
        "/etc/logrotate.d/vantor-web": "-rw-r--r--",
        "/usr/share/man/man8/VantorWebSrv.8.gz": "-rw-r--r--",
        "/usr/share/man/man1/vantor-console.1.gz": "-rw-r--r--",
        "/usr/share/vantor-web/vantor-web.rules.yml": "-rw-r--r--",
        "/usr/share/vantor-web/vantor-web.dashboard.json": "-rw-r--r--",
    }
    for path, mode in expected.items():
        assert listing.get(path) == (mode, "root/root"), path
    # The program directory and its database are made by postinst, never shipped: an upgrade
    # must not replace the database, and the package claims no folder it does not own.
    assert not [p for p in listing if p.startswith(("/opt", "/var"))], listing

    fields = dict(re.findall(r"^(\w[\w-]*): (.*)$", dpkg_deb("-f", deb), re.M))
    assert fields["Package"] == "vantor-web"
    assert re.fullmatch(r"\d+\.\d+", fields["Version"])
    assert fields["Architecture"] == "amd64"
    assert fields["Section"] == "net"
    assert "<" in fields["Maintainer"]
    # Filled in by dpkg-shlibdeps from the linked libraries.
    for library in ("libc6", "libsqlite3-0", "libssl3", "libcurl4", "libsystemd0"):
        assert library in fields["Depends"], library
    assert len(dpkg_deb("-f", deb, "Description").splitlines()) > 3
    listing = subprocess.run(["sh", "-c", f"dpkg-deb --ctrl-tarfile '{deb}' | tar -tv"],
                             check=True, capture_output=True, text=True).stdout
    for script in ("postinst", "prerm", "postrm"):
        assert re.search(r"^-rwxr-xr-x .* \./" + script + "$", listing, re.M), script
