Gem::Specification.new do |spec|
  spec.name = "parvox"
  spec.version = "1.0.0"
  spec.summary = "Write and extract zip archives (deflate, AES-256) from Ruby"
  spec.description = "A native extension with one class, Parvox, that zips files and whole " \
                     "folder trees, optionally with a password (WinZip AES-256), and extracts " \
                     "them again on every core, safely on hostile archives."
  spec.authors = ["Parvox developers"]
  spec.license = "MIT"
  spec.required_ruby_version = ">= 2.7"
  spec.files = Dir["lib/**/*.rb", "ext/*.{rb,cpp,h}", "archive/**/*.{cpp,h}", "fsutil/*.{cpp,h}", "README.md", "LICENSE"]
  spec.extensions = ["ext/extconf.rb"]
  spec.require_paths = ["lib"]
end
