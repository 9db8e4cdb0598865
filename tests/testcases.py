"""Prints the test classes of a unittest script, one a line: the classes that define a test
method of their own or inherit one from a class of the same script. CMake registers each as a
test of its own, so that a failure names the group that broke."""

import ast
import sys


def cases(path):
    with open(path, encoding="utf-8") as source:
        tree = ast.parse(source.read(), path)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def has_tests(node):
        own = any(isinstance(item, ast.FunctionDef) and item.name.startswith("test_")
                  for item in node.body)
        bases = [base.id for base in node.bases if isinstance(base, ast.Name)]
        return own or any(has_tests(classes[base]) for base in bases if base in classes)

    return [name for name, node in classes.items() if has_tests(node)]


if __name__ == "__main__":
    print("\n".join(cases(sys.argv[1])))
