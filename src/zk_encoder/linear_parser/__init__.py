# The sub-package body (imports and __all__) comes with the linear model.
