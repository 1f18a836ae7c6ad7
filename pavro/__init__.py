"""The pavro chain models that pavro_cjson saves and loads."""

from pavro.bag import ChainModel, ProbabilityBag

__all__ = ["ChainModel", "ProbabilityBag"]
