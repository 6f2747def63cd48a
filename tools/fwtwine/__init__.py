"""The rig that runs fwt.exe under Wine and Xvfb against simulated devices: processes (procs),
the Wine prefix and the hidden serial ports (prefix), QEMU's i386 emulation (emul32), PE files
(pe), the UI driver's command line and report (driver), a case and its checks (case, checks),
the cases' command line (cli), the build's paths (paths) and the demo (demo)."""
