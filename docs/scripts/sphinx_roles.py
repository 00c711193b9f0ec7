"""Docstring cross-references for the API page: ``:class:`X```, ``:func:`X```, ``:meth:`X``` and
``:attr:`X``` become links to the documented object (the docstrings keep the roles that
``help()`` and editors understand). A target the site does not document becomes plain code.

Loaded by mkdocstrings as a griffe extension (mkdocs.yml).
"""

import re

import griffe

ROLE = re.compile(r":(?:class|func|meth|attr|mod|obj):`~?([\w.]+)`")
# Modules whose public names the API page documents, with their members.
DOCUMENTED = ("morva", "morva.viz", "morva.measures")


class SphinxRoles(griffe.Extension):
    def on_package(self, *, pkg, **kwargs):
        if pkg.path != "morva":
            return
        public = self._public_paths(pkg)
        for obj in self._objects(pkg):
            if obj.docstring is not None:
                obj.docstring.value = ROLE.sub(lambda m, o=obj: self._link(m.group(1), o, public), obj.docstring.value)

    @staticmethod
    def _public_paths(pkg):
        """Canonical path -> the path the API page shows it under."""
        public = {}
        for module_path in DOCUMENTED:
            module = pkg if module_path == "morva" else pkg[module_path.removeprefix("morva.")]
            names = [str(n) for n in module.exports] if module.exports else [
                n for n, m in module.members.items() if not n.startswith("_") and not m.is_alias]
            for name in names:
                member = module.members.get(name)
                if member is None:
                    continue
                target = member.final_target if member.is_alias else member
                shown = f"{module_path}.{name}"
                public[target.path] = shown
                public[shown] = shown
                if target.is_class:
                    for sub in target.members:
                        if not sub.startswith("_"):
                            public[f"{target.path}.{sub}"] = f"{shown}.{sub}"
                            public[f"{shown}.{sub}"] = f"{shown}.{sub}"
        return public

    @staticmethod
    def _objects(obj):
        yield obj
        for member in obj.members.values():
            if not member.is_alias:
                yield from SphinxRoles._objects(member)

    @staticmethod
    def _link(name, obj, public):
        scopes = [obj] + [p for p in (obj.parent, getattr(obj.parent, "parent", None)) if p is not None]
        candidates = [name, f"morva.{name}", *(f"{scope.path}.{name}" for scope in scopes)]
        for candidate in candidates:
            if candidate in public:
                return f"[`{name}`][{public[candidate]}]"
        return f"`{name}`"
