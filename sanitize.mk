# Memory-safety runs of the Python layer; included from the top-level
# Makefile. The AddressSanitizer build lives in build/sanitize with its own
# environment build/sanitize-venv; valgrind checks the everyday build in
# $(VENV). Reports land in build/sanitize-logs.
.PHONY: sanitize sanitize-asan sanitize-valgrind

SANITIZE_RUN = PYTHON="$(PYTHON)" VENV="$(VENV)" bash sanitize/run.sh

sanitize: install
	$(DEPS) sanitize
	$(SANITIZE_RUN) all

sanitize-asan:
	$(SANITIZE_RUN) asan

sanitize-valgrind: install
	$(DEPS) sanitize
	$(SANITIZE_RUN) valgrind
