"""Integrations with training and tuning frameworks: one module per framework, imported only when used."""
