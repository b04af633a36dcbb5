// node check.js BOM: the SBOM as the CycloneDX project's own library judges it, against the JSON
// schema of the version it declares, and each package URL in it as packageurl-js reads it back.
// Prints {"errors": null or what is wrong, "purls": {bom-ref: [type, namespace, name, version]}}.
const { Validation } = require('@cyclonedx/cyclonedx-library')
const { PackageURL } = require('packageurl-js')

const text = require('fs').readFileSync(process.argv[2], 'utf8')
const bom = JSON.parse(text)
new Validation.JsonStrictValidator(bom.specVersion).validate(text).then((errors) => {
  const purls = {}
  for (const c of bom.components.filter((c) => c.purl)) {
    const p = PackageURL.fromString(c.purl)
    purls[c['bom-ref']] = [p.type, p.namespace, p.name, p.version]
  }
  console.log(JSON.stringify({ errors, purls }))
})
