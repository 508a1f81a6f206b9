# Front door: `make demo` flashes a simulated Quarv with the real tool; `make test` runs every test.
SHELL := /bin/bash
WINEPREFIX_DIR := $(CURDIR)/build/wine
SOURCES = $(shell git ls-files -co --exclude-standard '*.cpp' '*.h' 2>/dev/null)

.PHONY: test deps wine host win32 format cppcheck

test: deps format cppcheck host win32

deps:
	bash cmake/install-deps.sh

wine: deps
	bash cmake/setup-wine.sh $(WINEPREFIX_DIR)

host: deps
	cmake --preset host
	cmake --build --preset host
	ctest --preset host

win32: wine
	cmake --preset win32
	cmake --build --preset win32
	WINEPREFIX=$(WINEPREFIX_DIR) ctest --preset win32

format: deps
	clang-format --dry-run --Werror $(SOURCES)

cppcheck: deps
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability \
	  --inline-suppr --std=c++17 --library=googletest -I . $(filter %.cpp,$(SOURCES))
