# The second linear generation; its modules load only when a program imports this package.
