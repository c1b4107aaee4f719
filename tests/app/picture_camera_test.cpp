// The camera a join starts from when the pictures' EXIF gives only the
// lens's focal length: the camera database's crop factor makes it a 35 mm
// equivalent, for the very camera the EXIF names and no other.
#include "app/picture_camera.h"

#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include "../support/scratch_folder.h"
#include "app/camera_database.h"
#include "render/picture_file.h"

namespace vistarium::app {
namespace {

TEST(CameraDatabase, GivesTheCropFactorOfTheVeryCameraNamed) {
  const std::optional<double> s95 = CropFactorOf("Canon", "Canon PowerShot S95");
  ASSERT_TRUE(s95);
  EXPECT_NEAR(*s95, 4.67, 0.005);
  // Makers' spellings: upper case, the maker repeated or not, extra spaces.
  EXPECT_EQ(CropFactorOf("CANON", "PowerShot  S95"), s95);
  // The database also finds the NEX-5N for an NEX-5; the NEX-5 is taken.
  const std::optional<double> nex = CropFactorOf("SONY", "NEX-5");
  ASSERT_TRUE(nex);
  EXPECT_NEAR(*nex, 1.53, 0.005);
  EXPECT_FALSE(CropFactorOf("Canon", "PowerShot S9"));
  EXPECT_FALSE(CropFactorOf("Nobody", "Camera 1"));
  EXPECT_FALSE(CropFactorOf("", ""));
}

class LensOnlyPictures : public test_support::ScratchFolder {
protected:
  // A 400 x 300 picture whose EXIF names the camera and the lens's focal
  // length, and no sensor size.
  std::string Picture(const std::string& name, const std::string& make, const std::string& model) {
    DeviceBitmap p(400, 300);
    for (int y = 0; y < 300; ++y)
      for (int x = 0; x < 400; ++x) p.SetPixel(x, y, (x * 7 + y * 3) & 0xFF);
    const std::string path = PathOf(name);
    render::WriteFileAtomically(path, render::EncodeJpeg(p, 90));
    auto image = Exiv2::ImageFactory::open(path);
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = make;
    exif["Exif.Image.Model"] = model;
    exif["Exif.Photo.FocalLength"] = Exiv2::URational(60, 10);
    image->setExifData(exif);
    image->writeMetadata();
    return path;
  }
};

TEST_F(LensOnlyPictures, TakeTheirFocalLengthFromTheCameraDatabase) {
  params::TParametersCamera inForce;
  inForce.Name = "Generic 28 mm";
  inForce.FocalLength = 28.0;
  const PictureCamera known = CameraFromPictures({Picture("a.jpg", "Canon", "Canon PowerShot S95")}, inForce);
  ASSERT_TRUE(known.FromPictures);
  EXPECT_NEAR(known.CropFactor, 4.67, 0.005);
  // 6 mm x 4.67 = 28.0 mm on the diagonal; 36 mm on the longer side of a 4:3 picture.
  EXPECT_NEAR(known.Camera.FocalLength, 6.0 * 4.67 * 36.0 / std::hypot(36.0, 24.0) * 5.0 / 4.0, 0.01);
  // A camera the database does not know keeps the camera in force and says why.
  const PictureCamera unknown = CameraFromPictures({Picture("b.jpg", "Nobody", "Camera 1")}, inForce);
  EXPECT_FALSE(unknown.FromPictures);
  EXPECT_EQ(unknown.Camera.FocalLength, 28.0);
  EXPECT_NE(unknown.Note.find("the lens's focal length but not the size of the sensor"), std::string::npos);
}

}  // namespace
}  // namespace vistarium::app
