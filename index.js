'use strict';
// Loads the built module. The build puts it in build/Release next to the messaging
// library it links.
const path = require('node:path');

module.exports = require(path.join(__dirname, 'build', 'Release', 'corvelle.node'));
