# Shorthands for the two README commands.
.PHONY: demo test
demo:
	scripts/demo
test:
	scripts/test
