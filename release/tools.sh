# What a release ships, read by build.sh and check.sh: adding a tool is adding it here.
# Linux commands for /usr/bin, as FOLDER/NAME: the build makes FOLDER/NAME, and FOLDER/NAME.h2m
# holds the parts of its manual page that --help does not.
RELEASE_COMMANDS=(cli/quarv-flash sim/quarv-sim stamp/quarv-stamp)
# Windows console tools for the zip, as the win32 build makes them.
RELEASE_WINDOWS_EXES=(cli/quarv-flash.exe stamp/quarv-stamp.exe)
# The updater, shipped as a template: it carries the stand-in image until quarv-stamp replaces it.
RELEASE_TEMPLATE_EXE=ui/quarv-update.exe
RELEASE_TEMPLATE_NAME=quarv-update-template.exe
RELEASE_PACKAGE=quarv-tools
