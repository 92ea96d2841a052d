// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Validates a CycloneDX 1.6 JSON document against the CycloneDX schema with
// the CycloneDX project's own library. Prints "valid", or the schema's
// errors and exits with 1.
//
//     node validate_sbom.js dist/orvello-<version>.cdx.json
'use strict';
const fs = require('fs');
const { Spec, Validation } = require('@cyclonedx/cyclonedx-library');

const validator = new Validation.JsonStrictValidator(Spec.Version.v1dot6);
validator.validate(fs.readFileSync(process.argv[2], 'utf8')).then((errors) => {
  if (errors === null) {
    console.log('valid');
  } else {
    console.log(JSON.stringify(errors, null, 2));
    process.exitCode = 1;
  }
}, (failure) => {
  console.error(String(failure));
  process.exitCode = 2;
});
